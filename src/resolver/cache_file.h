// The cache file: the answer cache's answers and negative answers, delegations and zone keys, and the
// validated denial ranges, saved on an orderly stop (or DUMP) and read back at start (or LOAD), so that a
// restart does not start cold.
//
// Layout, big-endian:
//   header  magic "RCRCACHE" (8), version u32, validation context u32, body length u64, saved at u64
//           (wall-clock seconds), SHA-256 of the body (32)
//   body    entries, each: kind u8, payload length u32, payload
// The validation context names what the entries were validated under (the trust anchors, and whether
// validation was on: Recursor::validationContext); a file of another context is refused, since its
// "secure" and "bogus" marks would not hold under the running anchors.
// Times in the file are wall-clock seconds, since the cache's monotonic clock restarts with the machine.
// Every length read is checked against what is left of its enclosing span, so a hostile file can cost no
// more than its own size. A file is checked whole (checksum, then every entry) before any entry is merged:
// a damaged file changes nothing.
#pragma once

#include "base/error.h"
#include "base/read_file.h"
#include "resolver/cache.h"
#include "resolver/denial_cache.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <vector>

// NotCacheFile         no magic at the start: some other kind of file
// UnsupportedVersion   written by a version this build does not read
// Truncated            shorter than its header, or than the body length the header gives
// ChecksumMismatch     the body's SHA-256 differs from the header's
// OtherAnchors         validated under other trust anchors, or with validation set otherwise
// BadEntry             an entry that does not parse: an unknown kind, a length past its end, a field out
//                      of range
// WriteFailed          the temporary file could not be written, synced or renamed into place
// and the kinds of RECURSOR_FILE_ERRORS, for a file that could not be read
#define RECURSOR_CACHE_FILE_ERRORS(X)                                                                        \
    X(NotCacheFile)                                                                                          \
    X(UnsupportedVersion)                                                                                    \
    X(Truncated)                                                                                             \
    X(ChecksumMismatch)                                                                                      \
    X(OtherAnchors)                                                                                          \
    X(BadEntry)                                                                                              \
    X(WriteFailed)                                                                                           \
    RECURSOR_FILE_ERRORS(X)

namespace recursor {

RECURSOR_DEFINE_ERROR_ENUM(CacheFileError, RECURSOR_CACHE_FILE_ERRORS)

template <typename T> using CacheFileResult = std::expected<T, CacheFileError>;

inline constexpr std::uint32_t cache_file_version = 1;
inline constexpr std::size_t cache_file_header_size = 64;

// The largest file read for a cache of `cache_max_bytes`: an entry costs more in memory than on disk, so a
// file saved from a cache of that size is smaller; four times leaves room for one saved with a larger
// cache, whose excess the budget evicts as it loads.
constexpr std::size_t maxCacheFileBytes(std::size_t cache_max_bytes)
{
    return std::max<std::size_t>(cache_max_bytes, 16u * 1024 * 1024) * 4;
}

struct CacheFileCounts {
    std::size_t loaded { 0 }; // entries merged into the cache
    std::size_t expired { 0 }; // entries whose time had run out, left out
};

// The whole file for every live entry of `cache` (and of `denial`: one entry per signed zone), and how
// many entries it holds. `wall_now` is the wall clock at the moment the caches' clocks are read.
struct EncodedCacheFile {
    std::vector<std::uint8_t> bytes;
    std::size_t entries { 0 };
};
CacheFileResult<EncodedCacheFile> encodeCacheFile(const Cache& cache, std::int64_t wall_now,
    const DenialCache* denial = nullptr, std::uint32_t validation_context = 0);

// Checks the whole of `file`, then merges its live entries into `cache` and `denial` (a later entry
// replaces a cached one of the same key; the byte budgets evict as usual, so a larger file loads what
// fits). Without `denial` its entries are checked and skipped.
CacheFileResult<CacheFileCounts> decodeCacheFile(std::span<const std::uint8_t> file, Cache& cache,
    std::int64_t wall_now, DenialCache* denial = nullptr, std::uint32_t validation_context = 0);

// encodeCacheFile written to PATH.tmp, synced and renamed over `path`; the entries written.
CacheFileResult<std::size_t> writeCacheFile(const std::string& path, const Cache& cache,
    std::int64_t wall_now, const DenialCache* denial = nullptr, std::uint32_t validation_context = 0);
// decodeCacheFile of the file at `path`, which may hold at most `max_file_bytes`.
CacheFileResult<CacheFileCounts> readCacheFile(const std::string& path, Cache& cache, std::int64_t wall_now,
    std::size_t max_file_bytes, DenialCache* denial = nullptr, std::uint32_t validation_context = 0);

} // namespace recursor
