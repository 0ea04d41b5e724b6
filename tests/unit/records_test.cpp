#include "snapshot/records.h"
#include "tests/fake/fixture.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using namespace ntsnap;

std::vector<std::uint32_t> walkIds(const Block& block) {
    std::vector<std::uint32_t> ids;
    const unsigned char* entry;
    for (int more = firstProcess(block, &entry); more; more = nextProcess(block, entry, &entry)) {
        ids.push_back(read32(entry + ProcessRecord::processId));
    }
    return ids;
}

fixture::Process process(std::uint32_t id, std::u16string name, std::size_t threads = 0) {
    fixture::Process p;
    p.processId = id;
    p.name = std::move(name);
    for (std::size_t i = 0; i < threads; ++i) {
        fixture::Thread t;
        t.threadId = id * 100 + static_cast<std::uint32_t>(i);
        p.threads.push_back(t);
    }
    return p;
}

TEST(Fields, LittleEndianHalvesAndSingleByte) {
    unsigned char bytes[48] = {};
    write32(bytes, 0x89ABCDEFu);
    write32(bytes + 4, 0x01234567u);
    EXPECT_EQ(read64(bytes), 0x0123456789ABCDEFull);
    EXPECT_EQ(bytes[0], 0xEF);
    bytes[BasicInfoRecord::processorCount] = 200;
    bytes[BasicInfoRecord::processorCount + 1] = 0xFF;
    EXPECT_EQ(read8(bytes + BasicInfoRecord::processorCount), 200u);
}

TEST(Fields, PointerFieldsRefuseAddressesAbove4GiB) {
    unsigned char field[4] = {1, 2, 3, 4};
    int onStack = 0;
    if (reinterpret_cast<std::uintptr_t>(&onStack) > 0xFFFFFFFFu) {
        EXPECT_EQ(storePointer32(field, &onStack), 0);
        EXPECT_EQ(read32(field), 0x04030201u);
    }
    // The program's constant texts lie low, so the idle name can always be stored.
    ASSERT_EQ(storePointer32(field, idleName), 1);
    EXPECT_EQ(loadPointer32(field), static_cast<const void*>(idleName));
}

TEST(Walk, VisitsEveryEntryInOrderAndFindsTheFirstMatch) {
    Block one = fixture::place(fixture::processBlock({process(7, u"one")}, 5));
    EXPECT_EQ(walkIds(one), std::vector<std::uint32_t>({7}));
    fixture::release(&one);

    Block chain = fixture::place(
        fixture::processBlock({process(0, u""), process(4, u"System", 2), process(9, u"a"),
                               process(4, u"again"), process(12, u"last")},
                              5));
    EXPECT_EQ(walkIds(chain), std::vector<std::uint32_t>({0, 4, 9, 4, 12}));
    const unsigned char* found;
    ASSERT_EQ(findProcess(chain, 12, &found), 1);
    EXPECT_EQ(std::u16string(imageName(chain, found)), u"last");
    ASSERT_EQ(findProcess(chain, 4, &found), 1);
    EXPECT_EQ(std::u16string(imageName(chain, found)), u"System");
    EXPECT_EQ(findProcess(chain, 13, &found), 0);
    EXPECT_EQ(found, nullptr);
    fixture::release(&chain);
}

TEST(Walk, ThreadArrayAndIoBlockFollowTheMajorVersion) {
    fixture::Process p = process(33, u"x", 2);
    p.io[0] = 11;
    p.io[5] = 66;
    Block v5 = fixture::place(fixture::processBlock({p}, 5));
    const unsigned char* threads;
    std::uint32_t count;
    ASSERT_EQ(threadArray(v5, v5.base, 5, &threads, &count), 1);
    EXPECT_EQ(threads, v5.base + 184);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(read32(threads + 64 + ThreadRecord::threadId), 3301u);
    const unsigned char* io = ioCounters(v5, v5.base, 5);
    ASSERT_EQ(io, v5.base + 136);
    EXPECT_EQ(read64(io + IoCounterBlock::readOperationCount), 11u);
    EXPECT_EQ(read64(io + IoCounterBlock::otherTransferCount), 66u);
    fixture::release(&v5);

    Block v4 = fixture::place(fixture::processBlock({p}, 4));
    ASSERT_EQ(threadArray(v4, v4.base, 4, &threads, &count), 1);
    EXPECT_EQ(threads, v4.base + 136);
    EXPECT_EQ(read32(threads + ThreadRecord::threadId), 3300u);
    EXPECT_EQ(ioCounters(v4, v4.base, 4), nullptr);
    EXPECT_EQ(threadArray(v4, v4.base, 6, &threads, &count), 0);
    EXPECT_EQ(count, 0u);
    fixture::release(&v4);
}

// Blocks come from outside: whatever they hold, the walk stays inside them.
TEST(Walk, MalformedBlocksAreReadOnlyWithinTheirBounds) {
    fixture::Process p = process(5, u"name", 3);
    fake::Fixture f = fixture::processBlock({p, process(6, u"next")}, 5);

    // An entry that does not fit whole is not visited.
    fake::Fixture shortBlock = f;
    shortBlock.bytes.resize(100);
    shortBlock.relocations.clear();
    Block cut = fixture::place(shortBlock);
    EXPECT_TRUE(walkIds(cut).empty());
    fixture::release(&cut);

    // A next offset past the end ends the chain; a thread count past the end is cut.
    fake::Fixture wild = f;
    write32(wild.bytes.data() + ProcessRecord::nextEntryOffset, 0xFFFFFFF0u);
    write32(wild.bytes.data() + ProcessRecord::threadCount, 0xFFFFFFFFu);
    Block w = fixture::place(wild);
    EXPECT_EQ(walkIds(w), std::vector<std::uint32_t>({5}));
    const unsigned char* threads;
    std::uint32_t count;
    ASSERT_EQ(threadArray(w, w.base, 5, &threads, &count), 1);
    EXPECT_EQ(count, (w.size - 184) / 64);
    fixture::release(&w);

    // A name pointer outside the block, or one whose text runs off its end, reads as null.
    fake::Fixture outside = f;
    outside.relocations.clear();
    write32(outside.bytes.data() + ProcessRecord::imageNameBuffer, 0x1000);
    Block o = fixture::place(outside);
    EXPECT_EQ(imageName(o, o.base), nullptr);
    fixture::release(&o);

    fixture::Process last = process(8, u"abc");
    fake::Fixture unterminated = fixture::processBlock({last}, 5);
    unterminated.bytes.resize(184 + 6); // "abc" without its NUL
    Block u = fixture::place(unterminated);
    EXPECT_EQ(imageName(u, u.base), nullptr);
    fixture::release(&u);

    Block none{nullptr, 0};
    EXPECT_TRUE(walkIds(none).empty());
}

TEST(InPlaceWrites, IdleNameAndProcess4CreationTime) {
    fixture::Process idle = process(0, u"");
    idle.nullName = true;
    fixture::Process system = process(4, u"System");
    system.createTime = 0x0123456789ull;
    Block b = fixture::place(fixture::processBlock({idle, system}, 5));
    EXPECT_EQ(imageName(b, b.base), nullptr);
    write32(b.base + ProcessRecord::imageNameLength, 0xA5A5A5A5u);
    ASSERT_EQ(setIdleName(b.base), 1);
    EXPECT_EQ(imageName(b, b.base), idleName);
    EXPECT_EQ(read32(b.base + ProcessRecord::imageNameLength), 0xA5A5A5A5u);

    const unsigned char* entry;
    ASSERT_EQ(findProcess(b, 4, &entry), 1);
    clearCreateTime(const_cast<unsigned char*>(entry));
    EXPECT_EQ(read64(entry + ProcessRecord::createTime), 0u);
    EXPECT_EQ(std::u16string(imageName(b, entry)), u"System");
    fixture::release(&b);
}

} // namespace
