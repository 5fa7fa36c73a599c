// The host interface layer on its own, with a small module whose pin
// declarations each test sets, and a fake host that records every request.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "se_module_base.h"

namespace {

struct Request {
    int32_t opcode, index, value;
    intptr_t pointer;
};

struct FakeHost {
    std::vector<Request> requests;
    int32_t pinCount = 3;
    int32_t sampleClock = 0;
    int32_t bufferClock = 0;
    std::vector<intptr_t> buffers = std::vector<intptr_t>(8, 0);

    static intptr_t SE_CDECL callback(ModuleEntry* entry, int32_t opcode, int32_t index,
                                      int32_t value, void* pointer, float) {
        auto& host = *reinterpret_cast<FakeHost*>(entry->hostValue);
        host.requests.push_back({opcode, index, value, reinterpret_cast<intptr_t>(pointer)});
        switch (opcode) {
            case PinCount:
                return host.pinCount;
            case SampleClock:
                return host.sampleClock;
            case PinBufferClock:
                return host.bufferClock;
            case PinBuffer:
                return index >= 0 && index < 8 ? host.buffers[index] : 0;
            default:
                return 0;
        }
    }
    int count(int32_t opcode) const {
        int n = 0;
        for (const auto& r : requests)
            n += r.opcode == opcode;
        return n;
    }
};

class TestModule : public SEModule_base {
  public:
    explicit TestModule(FakeHost* host)
        : SEModule_base(host != nullptr ? FakeHost::callback : nullptr,
                        reinterpret_cast<intptr_t>(host)) {}

    std::vector<PinProperties> declarations;
    std::vector<int32_t> asked;         // declaration indices asked for, in order
    std::vector<int32_t> statusesSeen;  // pin status as the handler saw it
    std::vector<std::string> hooks;

    bool getPinProperties(int32_t index, PinProperties* record) override {
        asked.push_back(index);
        if (index < 0 || index >= static_cast<int32_t>(declarations.size())) return false;
        *record = declarations[static_cast<size_t>(index)];
        return true;
    }
    void onPinStatusChange(SEPin* pin) override { statusesSeen.push_back(pin->getStatus()); }
    void hookOpcode8() override { hooks.push_back("8"); }
    void hookOpcode8Index(int32_t index) override { hooks.push_back("8:" + std::to_string(index)); }
    void hookEvent2(int32_t a, int32_t b, uint16_t c) override {
        hooks.push_back("e2:" + std::to_string(a) + "," + std::to_string(b) + "," +
                        std::to_string(c));
    }
    void hookOpcode12(int32_t value, int32_t index, void*) override {
        hooks.push_back("12:" + std::to_string(value) + "," + std::to_string(index));
    }

    intptr_t send(int32_t opcode, int32_t index = 0, int32_t value = 0, void* pointer = nullptr,
                  float f = 0.0f) {
        return getEntry()->dispatch(getEntry(), opcode, index, value, pointer, f);
    }
    void event(int32_t type, int32_t value, intptr_t pointer, uint16_t shortValue = 0,
               int32_t first = 0) {
        ModuleEvent e{first, type, value, shortValue, 0, pointer};
        getEntry()->event(getEntry()->module, &e);
    }
};

PinProperties declaration(int32_t datatype, void* variable = nullptr, int32_t flags = 0) {
    PinProperties p{};
    p.datatype = datatype;
    p.variable = variable;
    p.flags = flags;
    return p;
}

void SE_CDECL otherProcess(void*, int32_t, int32_t) {}

int operationRuns = 0;
void SE_CDECL countingOperation(void*) {
    ++operationRuns;
}

class SdkTest : public ::testing::Test {
  protected:
    FakeHost host;
    // Owned by the test; destroyed directly unless a test closes it.
    TestModule* module = new TestModule(&host);
    void TearDown() override { delete module; }
};

TEST_F(SdkTest, ConstructionFillsTheEntryAndSendsNothing) {
    const ModuleEntry& e = *module->getEntry();
    EXPECT_EQ(e.magic, 0x5345507B);
    EXPECT_EQ(e.version, 1);
    EXPECT_EQ(e.hostValue, reinterpret_cast<intptr_t>(&host));
    EXPECT_EQ(e.module, static_cast<SEModule_base*>(module));
    EXPECT_EQ(e.reserved, nullptr);
    EXPECT_EQ(e.process, &emptyProcess);
    for (int32_t z : e.zero)
        EXPECT_EQ(z, 0);
    EXPECT_EQ(module->getSampleRate(), 44100.0f);
    EXPECT_EQ(module->getBlockSize(), 1024);
    EXPECT_TRUE(host.requests.empty());
}

TEST_F(SdkTest, DispatcherOpcodes) {
    module->send(OpcodeHook8, 0);
    module->send(OpcodeHook8, 3);
    module->send(OpcodeHook12, 5, 7);
    EXPECT_EQ(module->hooks, (std::vector<std::string>{"8", "8", "8:3", "12:7,5"}));

    for (int32_t unknown : {4, 5, 7, 9, 10, 11, 14, 99, -1, INT32_MIN}) {
        EXPECT_EQ(module->send(unknown, 1, 2), 0) << unknown;
    }
    EXPECT_EQ(module->send(OpcodeSetSampleRate, 0, 0, nullptr, 96000.0f), 0);
    EXPECT_EQ(module->send(OpcodeSetBlockSize, 0, 256), 0);
    EXPECT_EQ(module->getSampleRate(), 96000.0f);
    EXPECT_EQ(module->getBlockSize(), 256);
    EXPECT_TRUE(host.requests.empty());
}

TEST_F(SdkTest, PinPropertiesOpcodeAnswersExactlyOneOrZero) {
    module->declarations = {declaration(PinTypeAudio)};
    PinProperties record{};
    record.reserved = 77;
    EXPECT_EQ(module->send(OpcodeGetPinProperties, 0, 0, &record), 1);
    EXPECT_EQ(record.datatype, PinTypeAudio);
    EXPECT_EQ(module->send(OpcodeGetPinProperties, 1, 0, &record), 0);
    // A null record is answered 0 without asking the module.
    const size_t asked = module->asked.size();
    EXPECT_EQ(module->send(OpcodeGetPinProperties, 0, 0, nullptr), 0);
    EXPECT_EQ(module->asked.size(), asked);
}

TEST_F(SdkTest, ProcessRecordInfoIsEachInstancesOwn) {
    auto* info = reinterpret_cast<const ProcessRecordInfo*>(module->send(OpcodeGetProcessRecord));
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->one, 1);
    EXPECT_EQ(info->size, static_cast<int32_t>(sizeof(ProcessRecord)));
    EXPECT_EQ(info->record->function, &emptyProcess);
    EXPECT_EQ(info->zero, 0);

    TestModule other(&host);
    other.setProcessFunction(otherProcess);
    auto* second = reinterpret_cast<const ProcessRecordInfo*>(other.send(OpcodeGetProcessRecord));
    EXPECT_NE(second, info);
    EXPECT_EQ(info->record->function, &emptyProcess);
    EXPECT_EQ(second->record->function, &otherProcess);
    for (int32_t z : second->record->zero)
        EXPECT_EQ(z, 0);
}

TEST_F(SdkTest, SetProcessFunctionAnnouncesOnlyRealChanges) {
    module->setProcessFunction(emptyProcess);
    EXPECT_EQ(host.count(ProcessChanged), 0);
    module->setProcessFunction(otherProcess);
    EXPECT_EQ(host.count(ProcessChanged), 1);
    EXPECT_EQ(module->getEntry()->process, &otherProcess);
    module->setProcessFunction(otherProcess);
    EXPECT_EQ(host.count(ProcessChanged), 1);

    TestModule unhosted(nullptr);
    unhosted.setProcessFunction(otherProcess);
    EXPECT_EQ(unhosted.getEntry()->process, &otherProcess);
    EXPECT_EQ(unhosted.getSampleClock(), 0);
}

TEST_F(SdkTest, Events) {
    module->event(EventHook2, 9, 0, 0xFFFF, -4);
    EXPECT_EQ(module->hooks, (std::vector<std::string>{"e2:-4,9,65535"}));

    operationRuns = 0;
    module->event(EventRunOperation, 0, reinterpret_cast<intptr_t>(&countingOperation));
    module->event(EventRunOperation, 0, 0);  // a null operation is ignored
    EXPECT_EQ(operationRuns, 1);

    for (int32_t type : {1, 3, 20, -1})
        module->event(type, 2, 0);
    // Status events for pins that do not exist: before open, and past the array.
    module->event(EventPinStatus, 2, 0);
    module->declarations = {declaration(PinTypeFloat)};
    host.pinCount = 2;  // pin 1 stays unbound
    module->send(OpcodeOpen);
    for (intptr_t pin : {intptr_t{1}, intptr_t{2}, intptr_t{-1}, intptr_t{1} << 20}) {
        module->event(EventPinStatus, 2, pin);
    }
    EXPECT_TRUE(module->statusesSeen.empty());
    EXPECT_EQ(module->hooks.size(), 1u);
}

TEST_F(SdkTest, CloseDestroysTheInstanceAndAnswersOne) {
    module->declarations = {declaration(PinTypeFloat)};
    module->send(OpcodeOpen);
    EXPECT_EQ(module->send(OpcodeClose), 1);
    module = nullptr;  // gone; the sanitizer build checks nothing leaked
}

// Pin enumeration: which declarations make which pins.
struct PinCase {
    const char* name;
    int32_t pinCount;
    std::vector<PinProperties> declarations;
    std::vector<int32_t> expectedAsked;
    std::vector<int32_t> expectedDatatypes;  // per pin; -1 where unbound
};

// Printed by name: GoogleTest would otherwise dump the bytes, padding included.
void PrintTo(const PinCase& c, std::ostream* os) {
    *os << c.name;
}

class PinEnumeration : public ::testing::TestWithParam<PinCase> {};

TEST_P(PinEnumeration, BindsPinsFromDeclarations) {
    const PinCase& c = GetParam();
    FakeHost host;
    host.pinCount = c.pinCount;
    TestModule module(&host);
    module.declarations = c.declarations;
    module.open();
    EXPECT_EQ(module.asked, c.expectedAsked);
    ASSERT_EQ(module.getPinCount(), static_cast<int32_t>(c.expectedDatatypes.size()));
    for (int32_t i = 0; i < module.getPinCount(); ++i) {
        SEPin* pin = module.getPin(i);
        const int32_t expected = c.expectedDatatypes[static_cast<size_t>(i)];
        EXPECT_EQ(pin->isBound(), expected >= 0) << "pin " << i;
        if (expected >= 0) {
            EXPECT_EQ(pin->getDatatype(), expected) << "pin " << i;
            EXPECT_EQ(pin->getIndex(), i);
            EXPECT_EQ(pin->getStatus(), 0);
        }
    }
    EXPECT_EQ(host.count(PinCount), 1);
    EXPECT_EQ(host.requests.front().opcode, PinCount);
}

const PinProperties kFloat = declaration(PinTypeFloat);
const PinProperties kInt = declaration(PinTypeInt);
const PinProperties kAudio = declaration(PinTypeAudio);

INSTANTIATE_TEST_SUITE_P(
    Sdk, PinEnumeration,
    ::testing::Values(
        PinCase{"ThreePlain", 3, {kFloat, kInt, kAudio}, {0, 1, 2, 3, 2}, {6, 8, 5}},
        PinCase{"RepeatFillsTheRest",
                5,
                {kFloat, kInt, declaration(PinTypeAudio, nullptr, PinFlagRepeat)},
                {0, 1, 2, 3, 2},
                {6, 8, 5, 5, 5}},
        PinCase{"NoRepeatLeavesTheRestUnbound",
                5,
                {kFloat, kInt, kAudio},
                {0, 1, 2, 3, 2},
                {6, 8, 5, -1, -1}},
        PinCase{"SkippedDeclaration",
                3,
                {kFloat, declaration(PinTypeInt, nullptr, PinFlagSkip), kAudio},
                {0, 1, 2, 3, 2},
                {6, 5, -1}},
        PinCase{"KeepCancelsSkip",
                3,
                {kFloat, declaration(PinTypeInt, nullptr, PinFlagSkip | PinFlagKeep), kAudio},
                {0, 1, 2, 3, 2},
                {6, 8, 5}},
        PinCase{"SkippedLastDeclarationDoesNotRepeat",
                3,
                {kFloat, declaration(PinTypeAudio, nullptr, PinFlagRepeat | PinFlagSkip)},
                {0, 1, 2, 1},
                {6, -1, -1}},
        PinCase{"ArrayFillsFirst", 2, {kFloat, kInt, kAudio}, {0, 1, 2, 1}, {6, 8}},
        PinCase{"NoPins", 0, {kFloat, kInt, kAudio}, {0, -1}, {}},
        PinCase{"NegativePinCount", -4, {kFloat}, {0, -1}, {}},
        PinCase{"NoDeclarations", 3, {}, {0, -1}, {-1, -1, -1}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SdkPins, NoCallbackMeansNoArrayButDeclarationsAreAsked) {
    TestModule module(nullptr);
    module.declarations = {kFloat};
    module.open();
    EXPECT_EQ(module.getPinCount(), 0);
    EXPECT_EQ(module.asked, (std::vector<int32_t>{0, -1}));
}

TEST(SdkPins, StorageByDatatype) {
    FakeHost host;
    host.pinCount = 7;
    float buffer[4] = {};
    host.buffers[3] = reinterpret_cast<intptr_t>(buffer);
    float moduleVariable = 5.0f;
    TestModule module(&host);
    module.declarations = {declaration(PinTypeEnum),
                           declaration(PinTypeByte),
                           declaration(PinTypeFloat),
                           declaration(PinTypeAudio),
                           declaration(PinTypeInt),
                           declaration(2),
                           declaration(PinTypeAudio, &moduleVariable)};
    module.open();
    EXPECT_EQ(*static_cast<int16_t*>(module.getPin(0)->getVariable()), 0);
    EXPECT_EQ(*static_cast<uint8_t*>(module.getPin(1)->getVariable()), 0);
    EXPECT_EQ(*static_cast<float*>(module.getPin(2)->getVariable()), 0.0f);
    EXPECT_EQ(*static_cast<float**>(module.getPin(3)->getVariable()), buffer);
    EXPECT_EQ(*static_cast<int32_t*>(module.getPin(4)->getVariable()), 0);
    EXPECT_EQ(module.getPin(5)->getVariable(), nullptr);
    EXPECT_EQ(module.getPin(6)->getVariable(), &moduleVariable);
    EXPECT_EQ(moduleVariable, 5.0f);  // the module's variable is the host's to write
    // PinBuffer only for the audio pin without a variable, once.
    ASSERT_EQ(host.count(PinBuffer), 1);
    for (const auto& r : host.requests) {
        if (r.opcode == PinBuffer) {
            EXPECT_EQ(r.index, 3);
        }
    }
}

TEST(SdkPins, RepeatedAudioPinsAskForTheirBuffers) {
    FakeHost host;
    host.pinCount = 5;
    TestModule module(&host);
    module.declarations = {kFloat, kInt, declaration(PinTypeAudio, nullptr, PinFlagRepeat)};
    module.open();
    std::vector<int32_t> asked;
    for (const auto& r : host.requests) {
        if (r.opcode == PinBuffer) asked.push_back(r.index);
    }
    EXPECT_EQ(asked, (std::vector<int32_t>{2, 3, 4}));
}

TEST(SdkPins, SecondOpenReplacesThePinArray) {
    FakeHost host;
    TestModule module(&host);
    module.declarations = {kFloat, kInt, kAudio};
    module.open();
    host.pinCount = 2;
    module.open();
    EXPECT_EQ(module.getPinCount(), 2);
    EXPECT_EQ(host.count(PinCount), 2);
}

TEST(SdkPins, AbsurdPinCountsAreCapped) {
    for (int32_t count : {400'000'000, INT32_MAX, SEModule_base::kMostPins + 1}) {
        FakeHost host;
        host.pinCount = count;
        TestModule module(&host);
        module.declarations = {kFloat, kInt, declaration(PinTypeAudio, nullptr, PinFlagRepeat)};
        module.open();
        ASSERT_EQ(module.getPinCount(), SEModule_base::kMostPins) << count;
        EXPECT_EQ(module.getPin(SEModule_base::kMostPins - 1)->getDatatype(), PinTypeAudio);
        EXPECT_EQ(host.count(PinBuffer), SEModule_base::kMostPins - 2);
        // Events for pins past the cap are dropped like any for a pin that does not exist.
        module.event(EventPinStatus, 2, SEModule_base::kMostPins);
        module.event(EventPinStatus, 2, count - 1);
        EXPECT_TRUE(module.statusesSeen.empty());
        module.event(EventPinStatus, 2, SEModule_base::kMostPins - 1);
        EXPECT_EQ(module.statusesSeen, (std::vector<int32_t>{2}));
    }
}

TEST(SdkPins, StatusOneIsSeenOnceThenReadsZero) {
    FakeHost host;
    TestModule module(&host);
    module.declarations = {kFloat, kInt, kAudio};
    module.open();
    module.event(EventPinStatus, 1, 1);
    EXPECT_EQ(module.getPin(1)->getStatus(), 0);
    module.event(EventPinStatus, 2, 1);
    EXPECT_EQ(module.getPin(1)->getStatus(), 2);
    module.event(EventPinStatus, -7, 0);
    EXPECT_EQ(module.getPin(0)->getStatus(), -7);
    EXPECT_EQ(module.statusesSeen, (std::vector<int32_t>{1, 2, -7}));
}

TEST(SdkPins, TransmitStatusSendsPinStatus) {
    FakeHost host;
    TestModule module(&host);
    module.declarations = {kFloat, kInt, kAudio};
    module.open();
    host.requests.clear();
    module.getPin(2)->transmitStatus(500, 2);
    ASSERT_EQ(host.requests.size(), 1u);
    const Request& r = host.requests[0];
    EXPECT_EQ(r.opcode, PinStatus);
    EXPECT_EQ(r.index, 2);
    EXPECT_EQ(r.value, 2);
    EXPECT_EQ(r.pointer, 500);
    EXPECT_EQ(module.getPin(2)->getStatus(), 0);
}

TEST(SdkPins, GetValueReadsTheSampleAtTheClock) {
    FakeHost host;
    float buffer[8] = {0.5f, 1.5f, 2.5f, 3.5f, 4.5f, 5.5f, 6.5f, 7.5f};
    float* variable = buffer;
    TestModule module(&host);
    module.declarations = {kFloat, kInt, declaration(PinTypeAudio, &variable)};
    module.open();
    host.bufferClock = 100;
    host.sampleClock = 103;
    EXPECT_EQ(module.getPin(2)->getValue(), 3.5f);
    // A clock before the buffer's start is not followed outside the buffer.
    host.sampleClock = 99;
    EXPECT_EQ(module.getPin(2)->getValue(), 0.0f);
    host.bufferClock = 0;
    host.sampleClock = INT32_MIN;
    EXPECT_EQ(module.getPin(2)->getValue(), 0.0f);
    // The clocks wrap: one sample after INT32_MAX comes INT32_MIN.
    host.bufferClock = INT32_MAX;
    host.sampleClock = INT32_MIN;
    EXPECT_EQ(module.getPin(2)->getValue(), 1.5f);
    host.bufferClock = INT32_MIN;
    host.sampleClock = INT32_MAX;
    EXPECT_EQ(module.getPin(2)->getValue(), 0.0f);
    // Nor is a clock past the block size of frames the host's buffer holds:
    // a host that answers PinBufferClock with 0 while its clock runs on.
    module.send(OpcodeSetBlockSize, 0, 4);
    host.bufferClock = 100;
    host.sampleClock = 103;
    EXPECT_EQ(module.getPin(2)->getValue(), 3.5f);
    host.sampleClock = 104;
    EXPECT_EQ(module.getPin(2)->getValue(), 0.0f);
    host.bufferClock = 0;
    for (int32_t clock : {1 << 20, INT32_MAX}) {
        host.sampleClock = clock;
        EXPECT_EQ(module.getPin(2)->getValue(), 0.0f) << clock;
    }
    for (int32_t size : {0, -1, INT32_MIN}) {
        module.send(OpcodeSetBlockSize, 0, size);
        host.bufferClock = host.sampleClock = 0;
        EXPECT_EQ(module.getPin(2)->getValue(), 0.0f) << size;
    }
    module.send(OpcodeSetBlockSize, 0, 8);
    variable = nullptr;
    host.bufferClock = host.sampleClock = 0;
    EXPECT_EQ(module.getPin(2)->getValue(), 0.0f);
    // A pin that holds no buffer is not read as one.
    EXPECT_EQ(module.getPin(0)->getValue(), 0.0f);
}

TEST(SdkPins, GetValueWithoutCallbackReadsElementZero) {
    float buffer[2] = {0.25f, 9.0f};
    float* variable = buffer;
    TestModule module(nullptr);
    module.declarations = {declaration(PinTypeAudio, &variable)};
    // No callback, no array: bind a pin by hand the way open would.
    SEPin pin;
    pin.init(&module, 0, PinTypeAudio, &variable);
    EXPECT_EQ(pin.getValue(), 0.25f);
}

}  // namespace
