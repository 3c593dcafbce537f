// pefix IMAGE [SECTION...]: marks the named sections (default INIT)
// discardable and rewrites the checksum, in place.
#include <cstdio>
#include <fstream>
#include <iterator>

#include "pefix.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: pefix IMAGE [SECTION...]\n");
    return 2;
  }
  const char* path = argv[1];
  std::vector<std::string> sections(argv + 2, argv + argc);
  if (sections.empty()) sections.emplace_back("INIT");

  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "pefix: cannot read %s\n", path);
    return 1;
  }
  std::vector<uint8_t> image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  in.close();

  std::string error;
  if (!pefix::MarkDiscardable(image, sections, &error)) {
    std::fprintf(stderr, "pefix: %s: %s\n", path, error.c_str());
    return 1;
  }
  // Written to a neighbour and renamed, so a failed write loses nothing.
  const std::string temporary = std::string(path) + ".pefix";
  std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
  out.close();
  if (!out || std::rename(temporary.c_str(), path) != 0) {
    std::remove(temporary.c_str());
    std::fprintf(stderr, "pefix: cannot write %s\n", path);
    return 1;
  }
  return 0;
}
