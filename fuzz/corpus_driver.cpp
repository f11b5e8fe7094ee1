// Runs a fuzz target over files, as libFuzzer runs it over its corpus: every regular file named on
// the command line, or found (at any depth) in a folder named there, is passed to
// LLVMFuzzerTestOneInput once. A fault of the target shows as a crash or a sanitizer report, as
// under the fuzzer; the driver itself only fails when there is nothing to run.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

void RunFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  const std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
  // A copy of exactly the file's size, so that an overread is caught as under the fuzzer.
  std::vector<std::uint8_t> input(bytes.begin(), bytes.end());
  LLVMFuzzerTestOneInput(input.empty() ? nullptr : input.data(), input.size());
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t runs = 0;
  for (int i = 1; i < argc; ++i) {
    const std::filesystem::path path = argv[i];
    if (std::filesystem::is_directory(path)) {
      std::vector<std::filesystem::path> files;
      for (const auto& entry : std::filesystem::recursive_directory_iterator(path)) {
        if (entry.is_regular_file()) files.push_back(entry.path());
      }
      std::sort(files.begin(), files.end());
      for (const auto& file : files) {
        RunFile(file);
        ++runs;
      }
    } else {
      RunFile(path);
      ++runs;
    }
  }
  std::cout << "runs=" << runs << '\n';
  return runs == 0 ? 1 : 0;
}
