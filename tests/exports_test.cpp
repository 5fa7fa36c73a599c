// The library's exports and records, reached as a host reaches them.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <latch>
#include <set>
#include <thread>
#include <vector>

#include "module_under_test.h"

namespace {

using velmora::test::moduleLibrary;

intptr_t SE_CDECL silentHost(ModuleEntry*, int32_t, int32_t, int32_t, void*, float) {
    return 0;
}

TEST(Exports, PropertiesForIndexZero) {
    ModuleProperties record;
    std::memset(&record, 0xAB, sizeof record);
    void* const untouched = record.reserved1;
    ASSERT_EQ(moduleLibrary().getModuleProperties()(0, &record), 1);
    EXPECT_STREQ(record.name, "Velmora");
    EXPECT_EQ(record.id, record.name);
    EXPECT_EQ(record.version, 2230);
    EXPECT_EQ(record.reserved1, untouched);
    EXPECT_EQ(record.reserved2, untouched);

    // Four lines, the first the module's name, the third empty, no final line feed.
    const std::string about = record.about;
    ASSERT_FALSE(about.empty());
    EXPECT_NE(about.back(), '\n');
    EXPECT_EQ(about.rfind("Velmora\n", 0), 0u);
    EXPECT_EQ(std::count(about.begin(), about.end(), '\n'), 3);
    EXPECT_NE(about.find("\n\n"), std::string::npos);
}

TEST(Exports, PropertiesForOtherIndicesWriteOnlyTheVersion) {
    for (int32_t index : {1, -1, 7}) {
        ModuleProperties record;
        std::memset(&record, 0xCD, sizeof record);
        ModuleProperties before = record;
        EXPECT_EQ(moduleLibrary().getModuleProperties()(index, &record), 0);
        EXPECT_EQ(record.version, 2230);
        EXPECT_EQ(std::memcmp(&record, &before, offsetof(ModuleProperties, version)), 0);
    }
    EXPECT_EQ(moduleLibrary().getModuleProperties()(0, nullptr), 0);
}

TEST(Exports, MakeModuleServesIndexZeroKindOneOnly) {
    const MakeModuleFunction make = moduleLibrary().makeModule();
    EXPECT_EQ(make(0, 0, silentHost, 1), nullptr);
    EXPECT_EQ(make(1, 1, silentHost, 1), nullptr);
    EXPECT_EQ(make(-1, 1, silentHost, 1), nullptr);
    EXPECT_EQ(make(0, 2, silentHost, 1), nullptr);
}

TEST(Exports, EachInstanceHasItsOwnRecord) {
    const MakeModuleFunction make = moduleLibrary().makeModule();
    ModuleEntry* a = make(0, 1, silentHost, 0x1234);
    ModuleEntry* b = make(0, 1, nullptr, -5);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_NE(a, b);
    EXPECT_NE(a->module, b->module);
    for (ModuleEntry* e : {a, b}) {
        unsigned char magic[4];
        std::memcpy(magic, &e->magic, 4);
        EXPECT_EQ(magic[0], 0x7B);
        EXPECT_EQ(magic[1], 0x50);
        EXPECT_EQ(magic[2], 0x45);
        EXPECT_EQ(magic[3], 0x53);
        EXPECT_EQ(e->version, 1);
        EXPECT_EQ(e->reserved, nullptr);
        EXPECT_NE(e->dispatch, nullptr);
        EXPECT_NE(e->event, nullptr);
        for (int32_t z : e->zero)
            EXPECT_EQ(z, 0);
    }
    EXPECT_EQ(a->hostValue, 0x1234);
    EXPECT_EQ(b->hostValue, -5);
    // Both start with the same do-nothing process function, which the host may call.
    EXPECT_EQ(a->process, b->process);
    a->process(a->module, 0, 4);

    // Opcode 13: each instance's own record, naming its process record.
    auto* infoA = reinterpret_cast<const ProcessRecordInfo*>(a->dispatch(a, 13, 0, 0, nullptr, 0));
    ASSERT_NE(infoA, nullptr);
    EXPECT_EQ(infoA->one, 1);
    EXPECT_EQ(infoA->size, static_cast<int32_t>(sizeof(ProcessRecord)));
    EXPECT_EQ(infoA->zero, 0);
    const ProcessRecord* recordA = infoA->record;
    EXPECT_EQ(recordA->function, a->process);
    auto* infoB = reinterpret_cast<const ProcessRecordInfo*>(b->dispatch(b, 13, 0, 0, nullptr, 0));
    EXPECT_NE(infoB, infoA);
    EXPECT_NE(infoB->record, recordA);

    EXPECT_EQ(a->dispatch(a, 1, 0, 0, nullptr, 0), 1);
    EXPECT_EQ(b->dispatch(b, 1, 0, 0, nullptr, 0), 1);
}

// Threads that each drive instances of their own ask opcode 13 over and
// over: every answer is the asking instance's own record, naming its process
// record, never another instance's.
TEST(Exports, ProcessRecordInfoIsEachInstancesOwnOnEveryThread) {
    constexpr int kThreads = 4;
    constexpr int kQuestions = 20000;
    const MakeModuleFunction make = moduleLibrary().makeModule();
    std::vector<std::array<const ProcessRecordInfo*, 2>> addresses(kThreads);
    std::vector<int> wrong(kThreads, 0);
    std::latch allAsked(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            ModuleEntry* mine[2] = {make(0, 1, silentHost, t), make(0, 1, nullptr, t)};
            const ProcessRecord* records[2];
            for (int i = 0; i < 2; ++i) {
                auto* info = reinterpret_cast<const ProcessRecordInfo*>(
                    mine[i]->dispatch(mine[i], 13, 0, 0, nullptr, 0));
                records[i] = info->record;
                addresses[t][i] = info;
            }
            allAsked.arrive_and_wait();  // every instance's record is alive from here
            for (int q = 0; q < kQuestions; ++q) {
                ModuleEntry* e = mine[q % 2];
                auto* info = reinterpret_cast<const ProcessRecordInfo*>(
                    e->dispatch(e, 13, 0, 0, nullptr, 0));
                if (info != addresses[t][q % 2] || info->one != 1 ||
                    info->size != static_cast<int32_t>(sizeof(ProcessRecord)) ||
                    info->record != records[q % 2] || info->zero != 0) {
                    ++wrong[t];
                }
            }
            for (ModuleEntry* e : mine)
                e->dispatch(e, 1, 0, 0, nullptr, 0);
        });
    }
    for (auto& thread : threads)
        thread.join();
    std::set<const ProcessRecordInfo*> distinct;
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(wrong[t], 0) << "thread " << t;
        distinct.insert(addresses[t].begin(), addresses[t].end());
    }
    EXPECT_EQ(distinct.size(), 2u * kThreads);
}

TEST(Exports, HostileCallsAnswerSafeDefaults) {
    ModuleEntry* e = moduleLibrary().makeModule()(0, 1, silentHost, 0);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->dispatch(nullptr, 13, 0, 0, nullptr, 0), 0);
    EXPECT_EQ(e->dispatch(e, 6, 0, 0, nullptr, 0), 0);  // no record to fill
    e->event(nullptr, nullptr);
    e->event(e->module, nullptr);
    EXPECT_EQ(e->dispatch(e, 1, 0, 0, nullptr, 0), 1);
}

}  // namespace
