// Streams a DMG's main partition into a file, run by run, as the pipeline's
// temporary-file mode does: dmg_stream IMAGE OUTPUT
#include <cstdio>

#include "tev/common/byte_sink.h"
#include "tev/udif/extract.h"
#include "tev/udif/image.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: dmg_stream IMAGE OUTPUT\n");
    return 2;
  }
  auto image = tev::udif::open_dmg(argv[1]);
  if (!image) {
    std::fprintf(stderr, "%s\n", image.error().message().c_str());
    return 1;
  }
  auto id = tev::udif::select_main_partition(*image);
  auto sink = tev::FileSink::create(argv[2]);
  if (!id || !sink) return 1;
  auto n = tev::udif::extract_partition_stream(*image, *id, *sink);
  if (!n || !sink->finish()) {
    std::fprintf(stderr, "%s\n", n ? "write failed" : n.error().message().c_str());
    return 1;
  }
  return 0;
}
