// Standard input, a FIFO or a device, copied whole into a nameless
// temporary file before it is read as sound: libsndfile cannot read FLAC,
// CAF and others from a pipe, and a stream's header may promise a length
// that nothing can check until the stream has ended.
#pragma once

#include <string>

namespace velmora::tool {

// A descriptor to read `name` ("-" for standard input) from its start: for
// a stream, the temporary file it was copied into, after waiting for a
// writer as FIFOs do (an interrupt ends the wait); for standard input
// redirected from a file, that file. Answers -1 for a named regular file,
// which is read by its name. Shows the bytes read on a terminal unless `quiet`.
int openStream(const std::string& name, bool quiet);

}  // namespace velmora::tool
