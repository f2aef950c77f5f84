// LZFSE against zlib (and libdeflate) on the same corpus, single thread:
// decode and encode throughput and output size, printed as ratios.
//
//   lzfse_bench FILE...   (the files are concatenated and cut in 1 MiB chunks)
#include <libdeflate.h>
#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tev/lzfse/lzfse.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kChunk = 1 << 20;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Best of a few runs, to damp a noisy machine.
template <class F>
double best_time(int runs, F&& f) {
  double best = 1e300;
  for (int i = 0; i < runs; ++i) {
    auto start = Clock::now();
    f();
    best = std::min(best, seconds_since(start));
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<uint8_t> corpus;
  for (int i = 1; i < argc; ++i) {
    std::ifstream in(argv[i], std::ios::binary);
    corpus.insert(corpus.end(), std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  if (corpus.empty()) {
    std::fprintf(stderr, "usage: lzfse_bench FILE...\n");
    return 2;
  }
  std::vector<std::span<const uint8_t>> chunks;
  for (size_t at = 0; at < corpus.size(); at += kChunk)
    chunks.emplace_back(corpus.data() + at, std::min(kChunk, corpus.size() - at));
  const double mb = static_cast<double>(corpus.size()) / 1e6;

  std::vector<std::vector<uint8_t>> lz(chunks.size()), zl(chunks.size());
  size_t lz_size = 0, zl_size = 0;
  double lz_enc = best_time(2, [&] {
    lz_size = 0;
    for (size_t i = 0; i < chunks.size(); ++i) {
      lz[i].resize(chunks[i].size() + 4096);
      lz[i].resize(tev::lzfse::encode_buffer(lz[i], chunks[i]));
      lz_size += lz[i].size();
    }
  });
  double zl_enc = best_time(2, [&] {
    zl_size = 0;
    for (size_t i = 0; i < chunks.size(); ++i) {
      uLongf n = compressBound(chunks[i].size());
      zl[i].resize(n);
      compress2(zl[i].data(), &n, chunks[i].data(), chunks[i].size(), 6);
      zl[i].resize(n);
      zl_size += n;
    }
  });

  std::vector<uint8_t> out(kChunk);
  bool ok = true;
  double lz_dec = best_time(3, [&] {
    for (size_t i = 0; i < chunks.size(); ++i) {
      auto r = tev::lzfse::decode(lz[i], std::span(out).first(chunks[i].size()));
      ok &= r.status == tev::lzfse::DecodeStatus::Ok && r.written == chunks[i].size();
    }
  });
  double zl_dec = best_time(3, [&] {
    for (size_t i = 0; i < chunks.size(); ++i) {
      uLongf n = chunks[i].size();
      ok &= uncompress(out.data(), &n, zl[i].data(), zl[i].size()) == Z_OK;
    }
  });
  libdeflate_decompressor* d = libdeflate_alloc_decompressor();
  double ld_dec = best_time(3, [&] {
    for (size_t i = 0; i < chunks.size(); ++i) {
      size_t n = 0;
      ok &= libdeflate_zlib_decompress(d, zl[i].data(), zl[i].size(), out.data(), chunks[i].size(), &n) ==
            LIBDEFLATE_SUCCESS;
    }
  });
  libdeflate_free_decompressor(d);
  if (!ok) {
    std::fprintf(stderr, "a chunk failed to round-trip\n");
    return 1;
  }

  std::printf("corpus: %.1f MB in %zu chunks of 1 MiB\n", mb, chunks.size());
  std::printf("encode  lzfse %7.1f MB/s   zlib-6 %7.1f MB/s   ratio %.2fx\n", mb / lz_enc, mb / zl_enc,
              zl_enc / lz_enc);
  std::printf("size    lzfse %.3f of input   zlib-6 %.3f\n", lz_size / (mb * 1e6), zl_size / (mb * 1e6));
  std::printf("decode  lzfse %7.1f MB/s   zlib %7.1f MB/s   ratio %.2fx   (libdeflate %7.1f MB/s, %.2fx)\n",
              mb / lz_dec, mb / zl_dec, zl_dec / lz_dec, mb / ld_dec, ld_dec / lz_dec);
  return 0;
}
