// Local lists, the list lock, and element storage in a global region.
#include <atomic>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "xlist.h"
#include "zaxtest.h"

using namespace zaxtest;

namespace {

constexpr uint32_t kAllocList = 0xac, kDestroy = 0xb5, kAdd = 0xb6, kRemove = 0xb7,
                   kPeek = 0xb8, kNum = 0xbb, kDestroyGlobal = 0xab, kLockObj = 0x106,
                   kUnlockObj = 0x107, kIsLock = 0x108;

class List : public ZaxTest {
protected:
    void TearDown() override {
        if (list_ != nullptr) {
            EXPECT_EQ(XDestroyList(list_), 1);
        }
        ZaxTest::TearDown();
    }
    XHANDLE make(uint32_t capacity = 0) {
        list_ = XCreateList(capacity, 0, 0x5A);
        EXPECT_NE(list_, nullptr);
        return list_;
    }
    void add(const std::string &text, int32_t pos = -1) {
        ASSERT_EQ(XAddList(list_, text.data(), uint32_t(text.size()), pos), 1) << text;
    }
    // Removes every element from the front; their texts in order.
    std::vector<std::string> drain() {
        std::vector<std::string> out;
        char buf[64];
        int32_t n;
        while ((n = XPeekList(list_, nullptr, 0, 0)) > 0) {
            EXPECT_EQ(XRemoveList(list_, buf, sizeof buf, 0), 1);
            out.emplace_back(buf, size_t(n));
        }
        return out;
    }
    XHANDLE list_ = nullptr;
};

using Texts = std::vector<std::string>;

TEST_F(List, AddingAtTheEndMakesAQueueAndAtTheFrontAStack) {
    make();
    for (const char *t : {"one", "two", "three"}) add(t, -1);
    EXPECT_EQ(XGetListNum(list_), 3);
    EXPECT_EQ(drain(), (Texts{"one", "two", "three"}));
    for (const char *t : {"one", "two", "three"}) add(t, 0);
    EXPECT_EQ(drain(), (Texts{"three", "two", "one"}));
    EXPECT_EQ(XGetListNum(list_), 0);
}

TEST_F(List, PositionsInsertInTheMiddleAndRefuseWhatIsOutOfRange) {
    make();
    // On an empty list only -1, 0 and 1 can add; nothing can be removed.
    EXPECT_EQ(XAddList(list_, "x", 1, 2), 0);
    EXPECT_LAST_ERROR(code(kAdd, 2), 0, 2);
    EXPECT_EQ(XRemoveList(list_, nullptr, 0, 0), 0);
    EXPECT_LAST_ERROR(code(kRemove, 3), 0, 2);
    EXPECT_EQ(XRemoveList(list_, nullptr, 0, -1), 0);
    EXPECT_LAST_ERROR(code(kRemove, 3), 0, 2);
    EXPECT_EQ(XPeekListT(list_, nullptr, 0, 0, -1), -1);
    EXPECT_LAST_ERROR(code(kPeek, 2), 0, 2);
    add("b", 1);
    add("a", 0);
    add("c", -1);
    // A new element at 2 becomes the second; 5 is past count + 1; 4 appends.
    add("x", 2);
    EXPECT_EQ(XAddList(list_, "y", 1, 6), 0);
    EXPECT_LAST_ERROR(code(kAdd, 2), 0, 2);
    EXPECT_EQ(XAddList(list_, "y", 1, -2), 0);
    EXPECT_LAST_ERROR(code(kAdd, 2), 0, 2);
    add("d", 5);
    EXPECT_EQ(XGetListNum(list_), 5);
    char buf[8] = {};
    for (int32_t pos : {-1, 6, -2, 1000}) {
        SCOPED_TRACE(pos);
        if (pos == -1) {
            EXPECT_EQ(XPeekList(list_, buf, sizeof buf, pos), 1);
            EXPECT_EQ(buf[0], 'd');
        } else {
            EXPECT_EQ(XPeekList(list_, buf, sizeof buf, pos), 0);
            EXPECT_LAST_ERROR(code(kPeek, 2), 0, 2);
            EXPECT_EQ(XRemoveListT(list_, buf, sizeof buf, pos, 0), -1);
            EXPECT_LAST_ERROR(code(kRemove, 3), 0, 2);
        }
    }
    // Removing from the middle closes the gap both ways.
    ASSERT_EQ(XRemoveList(list_, buf, sizeof buf, 3), 1);
    EXPECT_EQ(buf[0], 'b');
    ASSERT_EQ(XPeekList(list_, buf, sizeof buf, 3), 1);
    EXPECT_EQ(buf[0], 'c');
    EXPECT_EQ(drain(), (Texts{"a", "x", "c", "d"}));
}

TEST_F(List, ASmallBufferGetsTheFirstBytesAndTheElementStays) {
    make();
    add("hello");
    char buf[8] = {};
    EXPECT_EQ(XRemoveList(list_, buf, 3, 0), 0);
    EXPECT_LAST_ERROR(code(kRemove, 2), 0, 2);
    EXPECT_EQ(std::string(buf), "hel");
    EXPECT_EQ(XGetListNum(list_), 1);
    // A peek with the same buffer is no failure: it copies 3 and tells 5.
    std::memset(buf, 0, sizeof buf);
    XSetLastError(0, 0, 0);
    EXPECT_EQ(XPeekList(list_, buf, 3, 0), 5);
    EXPECT_EQ(std::string(buf), "hel");
    EXPECT_EQ(XGetLastError(nullptr), 0u);
    // A null buffer peeks the size only and removes without copying.
    EXPECT_EQ(XPeekList(list_, nullptr, 0, 0), 5);
    EXPECT_EQ(XRemoveList(list_, nullptr, 0, 0), 1);
    EXPECT_EQ(XGetListNum(list_), 0);
}

TEST_F(List, CapacityCountsTwelveBytesAPieceBesideTheData) {
    make(40);
    std::string big(28, 'z');
    add(big);  // 28 + 12 = 40
    EXPECT_EQ(XAddList(list_, "a", 1, -1), 0);
    EXPECT_LAST_ERROR(code(kAdd, 3), 0, 2);
    EXPECT_EQ(XAddListT(list_, "a", 1, -1, 0), -1);
    EXPECT_EQ(XGetListNum(list_), 1);
    ASSERT_EQ(XRemoveList(list_, nullptr, 0, 0), 1);
    add("a");
    add(std::string(15, 'q'));  // 13 + 27 = 40
    EXPECT_EQ(XAddList(list_, "b", 1, 0), 0);
    EXPECT_LAST_ERROR(code(kAdd, 3), 0, 2);
}

TEST_F(List, BadArgumentsAreRefusedWithTheirPositions) {
    make();
    EXPECT_EQ(XAddListT(list_, "a", 0, -1, -1), -1);
    EXPECT_LAST_ERROR(code(kAdd, 1), 3, 2);
    EXPECT_EQ(XAddListT(list_, nullptr, 1, -1, -1), -1);
    EXPECT_LAST_ERROR(code(kAdd, 1), 2, 2);
    EXPECT_EQ(XAddList(nullptr, "a", 1, -1), 0);
    EXPECT_LAST_ERROR(code(kAdd, 1), 1, 2);
    EXPECT_EQ(XRemoveList(nullptr, nullptr, 0, 0), 0);
    EXPECT_LAST_ERROR(code(kRemove, 1), 1, 2);
    EXPECT_EQ(XPeekList(nullptr, nullptr, 0, 0), 0);
    EXPECT_LAST_ERROR(code(kPeek, 1), 1, 2);
    // The count is 0 both for an empty list and for no list; the T form tells.
    EXPECT_EQ(XGetListNum(nullptr), 0);
    EXPECT_LAST_ERROR(code(kNum, 1), 1, 2);
    EXPECT_EQ(XGetListNumT(nullptr, 0), -1);
    EXPECT_EQ(XGetListNum(list_), 0);
    EXPECT_EQ(XDestroyList(nullptr), 0);
    EXPECT_LAST_ERROR(code(kDestroy, 1), 1, 2);
    // A local list is not left through the global call: it stays usable.
    EXPECT_EQ(XDestroyGlobalList(list_), 0);
    EXPECT_LAST_ERROR(code(kDestroyGlobal, 1), 1, 2);
    add("still");
    EXPECT_EQ(XGetListNum(list_), 1);
    // The lock calls refuse a missing list as a missing lock.
    EXPECT_EQ(X_lock_list(nullptr), 0);
    EXPECT_LAST_ERROR(code(kLockObj, 1), 1, 2);
    EXPECT_EQ(X_unlock_list(nullptr), 0);
    EXPECT_LAST_ERROR(code(kUnlockObj, 1), 1, 2);
}

TEST_F(List, HolderNestsFreelyWhileOthersTimeOut) {
    make();
    ASSERT_EQ(X_lock_list(list_), 1);
    ASSERT_EQ(X_lock_list(list_), 1);
    // The holder's own operations with time-out 0 succeed at once.
    EXPECT_EQ(XAddListT(list_, "a", 1, -1, 0), 1);
    EXPECT_EQ(XGetListNumT(list_, 0), 1);
    auto other = [&](auto fn) {
        int32_t r = 0;
        std::thread([&] { r = fn(); }).join();
        return r;
    };
    EXPECT_EQ(other([&] { return XAddListT(list_, "b", 1, -1, 0); }), -2);
    EXPECT_EQ(other([&] { return XGetListNumT(list_, 20); }), -2);
    EXPECT_EQ(other([&] {
                  int32_t r = XPeekListT(list_, nullptr, 0, 0, 0);
                  return XGetLastError(nullptr) == code(kLockObj, 2) ? r : 99;
              }),
              -2);
    // Giving back one hold keeps the list held; the second frees it.
    EXPECT_EQ(other([&] { return X_unlock_list(list_); }), 0);
    EXPECT_EQ(X_unlock_list(list_), 1);
    EXPECT_EQ(other([&] { return XGetListNumT(list_, 0); }), -2);
    EXPECT_EQ(X_unlock_list(list_), 1);
    EXPECT_EQ(other([&] { return XGetListNumT(list_, 0); }), 1);
    // Not held at all: nothing to give back, nothing recorded.
    XSetLastError(0, 0, 0);
    EXPECT_EQ(X_unlock_list(list_), 0);
    EXPECT_EQ(XGetLastError(nullptr), 0u);
    // Finding the list held by another thread for a moment is no error.
    ASSERT_EQ(XRemoveList(list_, nullptr, 0, 0), 1);
    XSetLastError(0, 0, 0);
    std::atomic<bool> go{false};
    std::thread holder([&] {
        X_lock_list(list_);
        go = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        X_unlock_list(list_);
    });
    while (!go) std::this_thread::yield();
    EXPECT_EQ(XAddListT(list_, "c", 1, -1, 5000), 1);
    holder.join();
    EXPECT_NE(XGetLastError(nullptr), code(kIsLock, 4));
}

TEST_F(List, ThreadsAddingAndRemovingKeepTheCounts) {
    make();
    constexpr int kThreads = 4, kEach = 2000;
    std::vector<std::thread> threads;
    std::atomic<int> removed{0};
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) {
                std::string s = std::to_string(t) + ":" + std::to_string(i);
                XAddList(list_, s.data(), uint32_t(s.size()), i % 3 == 0 ? 0 : -1);
                if (i % 2 == 0 && XRemoveListT(list_, nullptr, 0, i % 5 == 0 ? -1 : 0, -1) == 1)
                    ++removed;
            }
        });
    }
    for (auto &th : threads) th.join();
    EXPECT_EQ(XGetListNum(list_), kThreads * kEach - removed);
    // The chain agrees with the count both ways.
    auto *h = static_cast<zax::ListHandle *>(list_);
    auto *r = static_cast<zax::LocalRegion *>(h->region);
    uint32_t forward = 0, backward = 0, bytes = 0;
    for (auto *e = r->first; e != nullptr; e = e->next) ++forward, bytes += e->size + 12;
    for (auto *e = r->last; e != nullptr; e = e->prev) ++backward;
    EXPECT_EQ(forward, r->h.count);
    EXPECT_EQ(backward, r->h.count);
    EXPECT_EQ(bytes, r->h.used);
}

TEST_F(List, DestroyGivesEveryElementBack) {
    // The sanitizer build's leak check sees any element left behind.
    XHANDLE l = XCreateList(0, 0, 0);
    ASSERT_NE(l, nullptr);
    for (int i = 0; i < 100; ++i) ASSERT_EQ(XAddList(l, "element", 7, i % 2 ? 0 : -1), 1);
    EXPECT_EQ(XDestroyList(l), 1);
}

TEST_F(List, ElementsOfChangingSizesKeepTheirBytesWhenStorageIsReused) {
    // A removed element's storage serves a later add that fits: sizes that
    // grow and shrink in turn, across two lists and from threads that end
    // (the sanitizer build sees a write past a block, or a block left behind).
    make();
    XHANDLE other = XCreateList(0, 0, 0);
    ASSERT_NE(other, nullptr);
    auto round = [&](XHANDLE a, XHANDLE b) {
        for (uint32_t size : {1u, 64u, 200u, 63u, 4096u, 9u, 70000u, 100u, 31u}) {
            std::string in(size, char('a' + size % 26));
            ASSERT_EQ(XAddList(a, in.data(), size, -1), 1);
            ASSERT_EQ(XAddList(b, in.data(), size, 0), 1);
            std::string out(size + 1, '\0');
            ASSERT_EQ(XRemoveListT(a, out.data(), size + 1, -1, -1), 1);
            EXPECT_EQ(out.substr(0, size), in);
        }
    };
    round(list_, other);
    std::thread t([&] { round(other, list_); });
    t.join();
    EXPECT_EQ(XGetListNum(list_), 9);
    EXPECT_EQ(XGetListNum(other), 9);
    // Every element still reads back whole, last added first.
    for (uint32_t size : {31u, 100u, 70000u, 9u, 4096u, 63u, 200u, 64u, 1u}) {
        std::string out(size, '\0');
        ASSERT_EQ(XRemoveListT(list_, out.data(), size, 0, -1), 1);
        EXPECT_EQ(out, std::string(size, char('a' + size % 26)));
    }
    EXPECT_EQ(XDestroyList(other), 1);
}

// ---------------------------------------------------------------------------
// Global storage, exercised on a region in the heap: the allocator touches
// nothing outside its region.

class Storage : public ZaxTest {
protected:
    void SetUp() override {
        ZaxTest::SetUp();
        init(100);
    }
    void init(uint32_t capacity) {
        zax::GlobalGeometry g(capacity);
        mem_.assign(g.region_size, 0);
        region_ = reinterpret_cast<zax::GlobalRegion *>(mem_.data());
        region_->h.type = zax::kGlobalType;
        region_->h.capacity = capacity;
        region_->h.total_words = region_->h.free_words = uint32_t(g.words);
        region_->h.data_offset = uint32_t(sizeof(zax::GlobalRegion) + g.bitmap_bytes);
    }
    // Allocates an element of size data bytes and stores the size, as the
    // list operations do; its word index, or -1.
    int64_t alloc(uint32_t size) {
        auto *e = static_cast<zax::GlobalElem *>(X_alloc_list(region_, size, 0));
        if (e == nullptr) return -1;
        e->size = size;
        return (reinterpret_cast<uint8_t *>(e) - data()) / 4;
    }
    bool free_at(int64_t index) { return X_free_list(region_, data() + 4 * index) == 1; }
    uint8_t *data() { return mem_.data() + region_->h.data_offset; }
    uint8_t *bitmap() { return mem_.data() + sizeof(zax::GlobalRegion); }
    bool used(uint64_t i) { return bitmap()[i / 8] & (0x80 >> (i % 8)); }
    std::vector<uint8_t> mem_;
    zax::GlobalRegion *region_ = nullptr;
};

TEST_F(Storage, ElementsTakeWholeWordsFirstFitAndComeBackZeroed) {
    EXPECT_EQ(region_->h.data_offset, 60u);
    EXPECT_EQ(mem_.size(), 160u);
    EXPECT_EQ(alloc(1), 0);   // 13 bytes: 4 words
    EXPECT_EQ(alloc(4), 4);   // 16 bytes: 4 words
    EXPECT_EQ(alloc(5), 8);   // 17 bytes: 5 words
    EXPECT_EQ(region_->h.free_words, 25u - 13u);
    // The most significant bit of each bitmap byte is the lowest word.
    EXPECT_EQ(bitmap()[0], 0xFF);
    EXPECT_EQ(bitmap()[1], 0xF8);
    // Freeing the middle one and asking again for the same size reuses it.
    std::memset(data() + 4 * 4 + 12, 0xAB, 4);
    ASSERT_TRUE(free_at(4));
    for (int i = 16; i < 32; ++i) EXPECT_EQ(data()[i], 0) << i;
    EXPECT_FALSE(used(4));
    EXPECT_EQ(alloc(2), 4);
    EXPECT_EQ(region_->h.free_words, 12u);
}

TEST_F(Storage, FailsWithReasonTwoWhenShortOfWordsAndThreeWhenScattered) {
    // 25 words: five 5-word elements, then free every other one.
    for (int i = 0; i < 5; ++i) ASSERT_EQ(alloc(8), 5 * i);
    ASSERT_TRUE(free_at(5));
    ASSERT_TRUE(free_at(15));
    EXPECT_EQ(region_->h.free_words, 10u);
    EXPECT_EQ(X_alloc_list(region_, 40, 0), nullptr);  // 13 words > 10 free
    EXPECT_LAST_ERROR(code(kAllocList, 2), 0, 2);
    EXPECT_EQ(X_alloc_list(region_, 20, 0), nullptr);  // 8 words, but runs of 5
    EXPECT_LAST_ERROR(code(kAllocList, 3), 0, 2);
    EXPECT_EQ(region_->h.free_words, 10u);
    EXPECT_EQ(alloc(8), 5);
    // Words past the data area are never handed out, though their bits are 0.
    init(100);
    for (int i = 0; i < 6; ++i) ASSERT_EQ(alloc(4), 4 * i);  // 24 words used
    EXPECT_EQ(X_alloc_list(region_, 1, 0), nullptr);
    EXPECT_LAST_ERROR(code(kAllocList, 2), 0, 2);
}

TEST_F(Storage, FreeRefusesWhatIsNotAnAllocatedElement) {
    ASSERT_EQ(alloc(4), 0);
    EXPECT_EQ(X_free_list(region_, data() + 2), 0);  // not on a word
    EXPECT_LAST_ERROR(code(kAllocList, 1), 2, 2);
    EXPECT_EQ(X_free_list(region_, data() + 4 * 8), 0);  // free words
    EXPECT_LAST_ERROR(code(kAllocList, 1), 2, 2);
    EXPECT_EQ(X_free_list(region_, mem_.data()), 0);  // the header
    EXPECT_LAST_ERROR(code(kAllocList, 1), 2, 2);
    EXPECT_EQ(X_free_list(region_, nullptr), 0);
    EXPECT_LAST_ERROR(code(kAllocList, 1), 2, 2);
    EXPECT_EQ(X_free_list(nullptr, data()), 0);
    EXPECT_LAST_ERROR(code(kAllocList, 1), 1, 2);
    EXPECT_EQ(X_alloc_list(nullptr, 1, 0), nullptr);
    EXPECT_LAST_ERROR(code(kAllocList, 1), 1, 2);
    EXPECT_EQ(region_->h.free_words, 21u);
    EXPECT_TRUE(free_at(0));
    EXPECT_FALSE(free_at(0));  // twice
    EXPECT_EQ(region_->h.free_words, 25u);
}

TEST_F(Storage, SkippingWholeGroupsFindsTheSameRunAsAWordByWordScan) {
    // Random allocations and frees on a region of 12000 words, checked against
    // a plain first-fit over the bitmap; sizes up to 150 words make the used
    // stretches long enough for the whole-chunk skips.
    init(48000);
    std::mt19937 rng(12345);
    std::vector<std::pair<int64_t, uint32_t>> live;
    uint64_t words = region_->h.total_words;
    for (int step = 0; step < 6000; ++step) {
        if (!live.empty() && rng() % 2 == 0) {
            size_t k = rng() % live.size();
            ASSERT_TRUE(free_at(live[k].first));
            live.erase(live.begin() + long(k));
            continue;
        }
        // Sizes from 1 word to several groups.
        uint32_t size = rng() % 4 == 0 ? 1 + rng() % 600 : 1 + rng() % 40;
        uint64_t n = (size + 12 + 3) / 4;
        int64_t expected = -1;
        for (uint64_t i = 0, run = 0; i < words; ++i) {
            run = used(i) ? 0 : run + 1;
            if (run == n) {
                expected = int64_t(i + 1 - n);
                break;
            }
        }
        int64_t got = alloc(size);
        ASSERT_EQ(got, expected) << "step " << step << " size " << size;
        if (got >= 0) live.emplace_back(got, size);
    }
    uint64_t set = 0;
    for (uint64_t i = 0; i < words; ++i) set += used(i);
    EXPECT_EQ(region_->h.free_words, words - set);
}

}  // namespace
