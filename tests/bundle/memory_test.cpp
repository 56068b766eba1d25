// Reading a bundle holds the artifact once and moves member bytes into the
// file map: a full-size bundle peaks well below three times its size.
#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "bundle_fixture.h"

// The sanitizer has its own allocator, which these replacements would hide.
#if defined(__SANITIZE_ADDRESS__)
#define VELK_COUNT_ALLOCATIONS 0
#else
#define VELK_COUNT_ALLOCATIONS 1
#endif

namespace {
std::atomic<bool> counting{false};
std::atomic<int64_t> live{0};
std::atomic<int64_t> peak{0};

#if VELK_COUNT_ALLOCATIONS
void* allocate(size_t size) {
  void* p = std::malloc(size ? size : 1);
  if (!p) throw std::bad_alloc();
  if (counting.load(std::memory_order_relaxed)) {
    const int64_t now = live += static_cast<int64_t>(::malloc_usable_size(p));
    int64_t high = peak.load();
    while (now > high && !peak.compare_exchange_weak(high, now)) {
    }
  }
  return p;
}

void release(void* p) noexcept {
  if (!p) return;
  if (counting.load(std::memory_order_relaxed)) live -= static_cast<int64_t>(::malloc_usable_size(p));
  std::free(p);
}
#endif
}  // namespace

#if VELK_COUNT_ALLOCATIONS
void* operator new(size_t size) { return allocate(size); }
void* operator new[](size_t size) { return allocate(size); }
void* operator new(size_t size, const std::nothrow_t&) noexcept {
  try {
    return allocate(size);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](size_t size, const std::nothrow_t& tag) noexcept { return operator new(size, tag); }
void operator delete(void* p) noexcept { release(p); }
void operator delete[](void* p) noexcept { release(p); }
void operator delete(void* p, size_t) noexcept { release(p); }
void operator delete[](void* p, size_t) noexcept { release(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { release(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { release(p); }
#endif

namespace velk::testing {
namespace {

using BundleMemory = BundleTest;

TEST_F(BundleMemory, FullSizeBundlePeaksBelowThreeTimesItsSize) {
  if (!VELK_COUNT_ALLOCATIONS) GTEST_SKIP() << "allocation counting is off under sanitizers";
  BundleClaim claim;
  {
    std::map<std::string, FileSpec> files;
    for (int i = 0; i < 2000; ++i) {
      std::string bytes(32000, static_cast<char>('a' + i % 26));
      bytes.replace(0, 8, std::to_string(10000000 + i));
      files["skills/s" + std::to_string(i) + "/SKILL.md"] = {std::move(bytes)};
    }
    const BundleParts parts = make_bundle(files);
    files.clear();
    claim = write_bundle(dir_ / "big.zip", parts);
  }
  ASSERT_GT(claim.size, 64000000u);
  ASSERT_LE(claim.size, 67108864u);

  live = 0;
  peak = 0;
  counting = true;
  auto bundle = read_bundle(claim, RequestedScope::none);
  counting = false;
  expect_valid(bundle);
  EXPECT_EQ(bundle->files.size(), 2000u);
  EXPECT_LT(peak.load(), static_cast<int64_t>(3 * claim.size)) << "peak " << peak.load();
  std::printf("bundle of %llu bytes: peak %lld bytes allocated while reading\n",
              static_cast<unsigned long long>(claim.size), static_cast<long long>(peak.load()));
}

}  // namespace
}  // namespace velk::testing
