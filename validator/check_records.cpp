// The library's exports and the records it shares with a host.
#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <set>

#include "checks.h"
#include "host_buffers.h"
#include "subject.h"

namespace velmora::validate {

namespace {

intptr_t SE_CDECL answerNothing(ModuleEntry*, int32_t, int32_t, int32_t, void*, float) {
    return 0;
}

#if defined(_WIN32)
std::string hexAddress(const void* pointer) {
    char text[32];
    std::snprintf(text, sizeof text, "%p", pointer);
    return text;
}
#endif

template <class T>
void fillPattern(T& record, unsigned char byte) {
    std::memset(static_cast<void*>(&record), byte, sizeof record);
}

}  // namespace

void checkExports(Context& context, Result& result) {
    const host::ModuleLibrary& library = context.library;
    const void* properties = reinterpret_cast<const void*>(library.getModuleProperties());
    const void* make = reinterpret_cast<const void*>(library.makeModule());
    if (library.symbol("getModuleProperties") != properties) {
        result.fail("getModuleProperties is not found by name");
    }
    if (library.symbol("makeModule") != make) result.fail("makeModule is not found by name");
#if defined(_WIN32)
    // Hosts of the published interface may import by ordinal alone.
    const void* first = library.symbol(reinterpret_cast<const char*>(static_cast<uintptr_t>(1)));
    const void* second = library.symbol(reinterpret_cast<const char*>(static_cast<uintptr_t>(2)));
    if (first != properties) {
        result.fail("ordinal 1 is " + hexAddress(first) + ", not getModuleProperties");
    }
    if (second != make) result.fail("ordinal 2 is " + hexAddress(second) + ", not makeModule");
    result.summary("getModuleProperties and makeModule by name, and by ordinals 1 and 2");
#else
    result.summary("getModuleProperties and makeModule by name");
#endif
}

void checkProperties(Context& context, Result& result) {
    const GetModulePropertiesFunction get = context.library.getModuleProperties();
    FpWatch& watch = context.watch;
    auto call = [&](int32_t index, ModuleProperties* record) {
        return watch.around("getModuleProperties", [&] { return get(index, record); });
    };

    ModuleProperties record;
    fillPattern(record, 0xAB);
    const ModuleProperties before = record;
    if (call(0, &record) != 1) {
        result.fail("index 0 answers other than 1");
        return;
    }
    if (record.name == nullptr || record.id == nullptr || record.about == nullptr) {
        result.fail("index 0 leaves the name, identifier or about text null");
        return;
    }
    if (record.id != record.name) result.fail("the identifier is not the name's text");
    const std::string about = record.about;
    if (std::count(about.begin(), about.end(), '\n') != 3 || about.back() == '\n') {
        result.fail("the about text is not four lines separated by line feeds");
    }
    if (record.reserved1 != before.reserved1 || record.reserved2 != before.reserved2) {
        result.fail("index 0 writes the reserved fields");
    }
    if (record.version == before.version) result.fail("index 0 leaves the version unwritten");
    const int32_t version = record.version;

    ModuleProperties again{};
    call(0, &again);
    if (again.name != record.name || again.about != record.about) {
        result.fail("the texts move between calls; they must be the library's constant data");
    }

    for (const int32_t index : {1, 2, -1, 100, INT32_MAX, INT32_MIN}) {
        ModuleProperties other;
        fillPattern(other, 0xCD);
        const ModuleProperties untouched = other;
        const int32_t answer = call(index, &other);
        if (answer != 0)
            result.fail("index " + std::to_string(index) + " answers " + std::to_string(answer));
        if (other.version != version) {
            result.fail("index " + std::to_string(index) + " writes version " +
                        std::to_string(other.version) + ", not " + std::to_string(version));
        }
        if (std::memcmp(&other, &untouched, offsetof(ModuleProperties, version)) != 0) {
            result.fail("index " + std::to_string(index) + " writes more than the version");
        }
    }
    for (const int32_t index : {0, 1}) {
        if (call(index, nullptr) != 0) {
            result.fail("a null record for index " + std::to_string(index) + " does not answer 0");
        }
    }
    result.summary("\"" + std::string(record.name) + "\", version " + std::to_string(version) +
                   "; other indices write only the version, null records answer 0");
}

void checkEntry(Context& context, Result& result) {
    const MakeModuleFunction make = context.library.makeModule();
    FpWatch& watch = context.watch;
    auto makeOne = [&](int32_t index, int32_t kind, intptr_t value) {
        return watch.around("makeModule", [&] { return make(index, kind, answerNothing, value); });
    };
    auto closeOne = [&](ModuleEntry* entry) {
        watch.around("opcode 1 (close)",
                     [&] { return entry->dispatch(entry, OpcodeClose, 0, 0, nullptr, 0.0f); });
    };

    const std::pair<int32_t, int32_t> refused[] = {{0, 0}, {0, 2},  {0, -1},
                                                   {1, 1}, {-1, 1}, {INT32_MAX, 1}};
    for (const auto& [index, kind] : refused) {
        if (ModuleEntry* entry = makeOne(index, kind, 0)) {
            result.fail("makeModule(" + std::to_string(index) + ", " + std::to_string(kind) +
                        ") answers an instance, not null");
            closeOne(entry);
        }
    }

    const intptr_t hostValues[] = {0, 1, -1, INTPTR_MAX, INTPTR_MIN, 0x5345507B, 12345, -77};
    std::vector<ModuleEntry*> entries;
    std::set<const void*> records;
    std::set<const void*> modules;
    for (const intptr_t value : hostValues) {
        ModuleEntry* entry = makeOne(0, 1, value);
        if (entry == nullptr) {
            result.fail("makeModule(0, 1) answers null");
            break;
        }
        entries.push_back(entry);
        unsigned char magic[4];
        std::memcpy(magic, &entry->magic, sizeof magic);
        const std::string which = "the instance made with host value " + std::to_string(value);
        if (magic[0] != 0x7B || magic[1] != 0x50 || magic[2] != 0x45 || magic[3] != 0x53) {
            result.fail(which + " has no magic number");
        }
        if (entry->version != 1)
            result.fail(which + " has version " + std::to_string(entry->version));
        if (entry->hostValue != value) result.fail(which + " does not keep the host value");
        if (entry->module == nullptr || entry->dispatch == nullptr || entry->process == nullptr ||
            entry->event == nullptr) {
            result.fail(which + " leaves an entry null");
        }
        if (entry->reserved != nullptr) result.fail(which + " has a reserved field set");
        if (std::any_of(std::begin(entry->zero), std::end(entry->zero),
                        [](int32_t z) { return z != 0; })) {
            result.fail(which + " has a non-zero field where zeros belong");
        }
        if (!records.insert(entry).second || !modules.insert(entry->module).second) {
            result.fail(which + " shares its record or module address with another");
        }
    }

    // The process function from creation does nothing, and the record keeps
    // every field but the process function through open and events.
    HostBuffers buffers;
    std::vector<float> input(64, 0.5f), output(64);
    Subject subject(context.library, watch);
    std::string error;
    if (subject.create(error)) {
        const Layout layout = layoutFrom(subject.declarations());
        if (layout.input >= 0 && layout.output >= 0) {
            const std::string problem = buffers.run(subject, layout.input, layout.output,
                                                    {input.data(), 64, 3}, output.data());
            if (!problem.empty()) result.fail("before open, the process function " + problem);
            if (std::any_of(output.begin(), output.end(),
                            [](float v) { return !sameBits(v, marker()); })) {
                result.fail("before open, the process function writes the output");
            }
        }
        ModuleEntry snapshot = *subject.entry();
        subject.open();
        if (layout.input >= 0) {
            subject.pinStatus(layout.input, 2);
            subject.pinStatus(layout.input, 0);
        }
        snapshot.process = subject.entry()->process;
        if (std::memcmp(&snapshot, subject.entry(), sizeof snapshot) != 0) {
            result.fail("open and events change the entry record beyond its process function");
        }
    } else {
        result.fail(error);
    }
    for (auto entry = entries.rbegin(); entry != entries.rend(); ++entry)
        closeOne(*entry);
    result.summary(std::to_string(entries.size()) +
                   " instances with their own records; other indices and kinds answer null");
}

void checkOpcodes(Context& context, Result& result) {
    Subject first(context.library, context.watch);
    Subject second(context.library, context.watch);
    std::string error;
    if (!first.create(error) || !second.create(error)) {
        result.fail(error);
        return;
    }
    const auto& pins = first.declarations();
    const int32_t count = static_cast<int32_t>(pins.size());
    if (count == 0) result.fail("opcode 6 declares no pins");
    for (int32_t i = 0; i < count; ++i) {
        const PinProperties& pin = pins[static_cast<size_t>(i)];
        const std::string which = "pin " + std::to_string(i);
        if (pin.direction != PinDirectionInput && pin.direction != PinDirectionOutput) {
            result.fail(which + " has direction " + std::to_string(pin.direction));
        }
        switch (pin.datatype) {
            case PinTypeEnum:
            case PinTypeByte:
            case PinTypeAudio:
            case PinTypeFloat:
            case PinTypeInt:
                break;
            default:
                result.fail(which + " has datatype " + std::to_string(pin.datatype));
        }
        if (pin.name == nullptr) result.fail(which + " has no name");
        const PinProperties& other = second.declarations()[static_cast<size_t>(i)];
        if (pin.variable != nullptr && pin.variable == other.variable) {
            result.fail(which + "'s variable is shared by two instances");
        }
    }
    const Layout layout = layoutFrom(pins);
    if (layout.type >= 0 && layout.listed.empty()) {
        result.fail("the enumeration pin's list has no value");
    }

    for (const int32_t index : {count, count + 1, -1, INT32_MAX, INT32_MIN}) {
        PinProperties record;
        fillPattern(record, 0x5A);
        const PinProperties untouched = record;
        if (first.dispatch(OpcodeGetPinProperties, index, 0, &record) != 0) {
            result.fail("opcode 6 for pin " + std::to_string(index) + " answers other than 0");
        } else if (std::memcmp(&record, &untouched, sizeof record) != 0) {
            result.fail("opcode 6 for pin " + std::to_string(index) + " writes the record");
        }
    }
    if (first.dispatch(OpcodeGetPinProperties, 0, 0, nullptr) != 0) {
        result.fail("opcode 6 with a null record does not answer 0");
    }

    // The process record: the library's one answer, pointing at the asking
    // instance's own record of its current process function.
    auto processRecord = [&](Subject& subject, const char* when) -> const ProcessRecord* {
        const auto* info =
            reinterpret_cast<const ProcessRecordInfo*>(subject.dispatch(OpcodeGetProcessRecord));
        if (info == nullptr) {
            result.fail(std::string("opcode 13 ") + when + " answers null");
            return nullptr;
        }
        if (info->one != 1 || info->size != static_cast<int32_t>(sizeof(ProcessRecord)) ||
            info->zero != 0 || info->record == nullptr) {
            result.fail(std::string("opcode 13 ") + when + " answers a malformed record");
            return nullptr;
        }
        const ProcessRecord* record = info->record;
        if (record->function != subject.processFunction()) {
            result.fail(std::string("opcode 13 ") + when +
                        " names another function than the entry record's");
        }
        if (record->zero[0] != 0 || record->zero[1] != 0 || record->zero[2] != 0) {
            result.fail(std::string("opcode 13 ") + when + " has non-zero reserved fields");
        }
        return record;
    };
    const ProcessRecord* firstRecord = processRecord(first, "after creation");
    if (layout.type >= 0) first.setType(layout.type, layout.defaultType);
    first.open();
    processRecord(first, "after open");
    second.open();
    const ProcessRecord* secondRecord = processRecord(second, "of a second instance");
    if (firstRecord != nullptr && firstRecord == secondRecord) {
        result.fail("opcode 13 gives two instances the same process record");
    }

    // Opcodes the interface does not define answer 0 and touch nothing.
    std::vector<float> canary(32, marker());
    const ProcessFunction before = first.processFunction();
    first.clearRequests();
    int unknown = 0;
    for (const int32_t opcode : {4, 5, 7, 9, 10, 11, 14, 15, 16, 20, 21, 22, 64, 255, 1000, -1, -13,
                                 INT32_MIN, INT32_MAX}) {
        ++unknown;
        const intptr_t answer = first.dispatch(opcode, 1, 1, canary.data(), 1.0f);
        if (answer != 0) {
            result.fail("unknown opcode " + std::to_string(opcode) + " answers " +
                        std::to_string(answer));
        }
    }
    if (std::any_of(canary.begin(), canary.end(), [](float v) { return !sameBits(v, marker()); })) {
        result.fail("an unknown opcode writes through its pointer");
    }
    if (!first.requests().empty()) result.fail("an unknown opcode sends a request to the host");
    if (first.processFunction() != before)
        result.fail("an unknown opcode changes the process function");

    result.summary(std::to_string(count) + " pins declared, process records consistent, " +
                   std::to_string(unknown) + " unknown opcodes answer 0");
}

}  // namespace velmora::validate
