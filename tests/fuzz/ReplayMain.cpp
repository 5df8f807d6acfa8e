// A main for a fuzz target without libFuzzer: runs the target once over each
// file named, and over each file in each folder named (sorted, not
// recursing). The corpus tests use it in every build, with any compiler, so
// an input that once crashed a target keeps being checked.
//   fuzz-replay-<target> FILE-OR-FOLDER...
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace {

bool replay(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", file.c_str());
    return false;
  }
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // An exact-size copy, so that a read past the input's end is caught.
  std::vector<std::uint8_t> input(bytes.begin(), bytes.end());
  LLVMFuzzerTestOneInput(input.data(), input.size());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (LLVMFuzzerInitialize != nullptr) LLVMFuzzerInitialize(&argc, &argv);
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s FILE-OR-FOLDER...\n", argv[0]);
    return 2;
  }
  std::size_t runs = 0;
  bool ok = true;
  for (int i = 1; i < argc; ++i) {
    const std::filesystem::path named(argv[i]);
    std::error_code error;
    if (!std::filesystem::is_directory(named, error)) {
      ok = replay(named) && ok;
      ++runs;
      continue;
    }
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(named, error)) {
      if (entry.is_regular_file()) files.push_back(entry.path());
    }
    if (error) {
      std::fprintf(stderr, "cannot list %s\n", named.c_str());
      ok = false;
    }
    std::sort(files.begin(), files.end());
    for (const auto& file : files) {
      // Named first, so that the input that crashed is the last one printed.
      std::fprintf(stderr, "%s\n", file.c_str());
      ok = replay(file) && ok;
      ++runs;
    }
  }
  std::fprintf(stderr, "replayed %zu inputs\n", runs);
  return ok ? 0 : 1;
}
