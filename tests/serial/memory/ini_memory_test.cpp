// Peak heap of reading and saving the largest ini files taken. The heap is
// counted by a replaced operator new; that is why these tests are a program
// of their own (the other tests keep the sanitizers' checks of new/delete).
#include "serial/CPort.h"
#include "serial/IniFile.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iostream>
#include <new>
#include <unistd.h>

namespace {

std::atomic<size_t> liveBytes{0};
std::atomic<size_t> peakBytes{0};

// Each block carries its size in front, aligned as malloc aligns.
constexpr size_t kHeader = alignof(std::max_align_t);

void* Allocate(size_t n) noexcept {
    auto* block = static_cast<unsigned char*>(std::malloc(n + kHeader));
    if (!block) return nullptr;
    *reinterpret_cast<size_t*>(block) = n;
    const size_t now = liveBytes.fetch_add(n) + n;
    size_t peak = peakBytes.load();
    while (now > peak && !peakBytes.compare_exchange_weak(peak, now)) {
    }
    return block + kHeader;
}

void Release(void* p) noexcept {
    if (!p) return;
    auto* block = static_cast<unsigned char*>(p) - kHeader;
    liveBytes.fetch_sub(*reinterpret_cast<size_t*>(block));
    std::free(block);
}

void* AllocateOrThrow(size_t n) {
    if (void* p = Allocate(n)) return p;
    throw std::bad_alloc();
}

} // namespace

void* operator new(size_t n) {
    return AllocateOrThrow(n);
}
void* operator new[](size_t n) {
    return AllocateOrThrow(n);
}
void* operator new(size_t n, const std::nothrow_t&) noexcept {
    return Allocate(n);
}
void* operator new[](size_t n, const std::nothrow_t&) noexcept {
    return Allocate(n);
}
void operator delete(void* p) noexcept {
    Release(p);
}
void operator delete[](void* p) noexcept {
    Release(p);
}
void operator delete(void* p, size_t) noexcept {
    Release(p);
}
void operator delete[](void* p, size_t) noexcept {
    Release(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
    Release(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
    Release(p);
}

namespace {

namespace fs = std::filesystem;
using namespace serial;

// The most the heap grows while `f` runs.
template <typename F> size_t PeakGrowth(F&& f) {
    const size_t before = liveBytes.load();
    peakBytes = before;
    f();
    return peakBytes.load() - before;
}

struct IniMemory : ::testing::Test {
    fs::path dir;
    IniMemory() {
        char tmpl[] = "/tmp/quorrin-ini-memory-XXXXXX";
        dir = mkdtemp(tmpl);
    }
    ~IniMemory() override {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
};

TEST_F(IniMemory, TheLargestFilesCostAFewTimesTheirSize) {
    struct Case {
        const char* what;
        std::string line;
    };
    constexpr size_t kSize = TIniFile::kMaxFileSize;
    constexpr size_t kLimit = 10 * kSize;
    for (const Case& c :
         std::vector<Case>{{"blank lines", "\n"}, {"values", "a=1\n"}, {"sections", "[s]\n"}}) {
        const fs::path file = dir / "big.ini";
        {
            std::string text;
            text.reserve(kSize);
            while (text.size() + c.line.size() <= kSize)
                text += c.line;
            text.resize(kSize, ' ');
            std::ofstream(file, std::ios::binary) << text;
        }
        ASSERT_EQ(fs::file_size(file), kSize);

        TComPort port;
        port.SetName("MivoCom1");
        const size_t reading = PeakGrowth([&] {
            TIniFile ini(file.string());
            EXPECT_FALSE(ini.SectionExists("MivoCom1"));
            EXPECT_EQ(ini.ReadString("s", "a", "none"), "none");
        });
        EXPECT_LE(reading, kLimit) << c.what << ": reading took " << (reading >> 20) << " MiB";

        const size_t saving = PeakGrowth([&] {
            TIniFile ini(file.string());
            port.StoreToIniFile(ini);
        });
        EXPECT_LE(saving, kLimit) << c.what << ": saving took " << (saving >> 20) << " MiB";
        EXPECT_GT(fs::file_size(file), kSize) << c.what;
        std::cout << c.what << ": reading +" << (reading >> 20) << " MiB, saving +"
                  << (saving >> 20) << " MiB (file " << (kSize >> 20) << " MiB)\n";
    }
}

} // namespace
