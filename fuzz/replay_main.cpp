// Runs a fuzz target once over saved inputs, without libFuzzer: the test
// builds use it to replay each corpus as a regression test.
//
// Usage: <target>_replay PATH...  where each PATH is an input file or a
// directory of them (not descended into).  Fails when no input was found,
// so a corpus that went missing does not pass as an empty success.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);
// Only the targets that need a setup define it; libFuzzer calls it when
// present, and so does this driver.
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int *argc,
                                                          char ***argv);

namespace {

namespace fs = std::filesystem;

bool replay_file(const fs::path &path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    fprintf(stderr, "replay: cannot read %s\n", path.c_str());
    return false;
  }
  std::vector<char> bytes{std::istreambuf_iterator<char>(in),
                          std::istreambuf_iterator<char>()};
  // Named before the run: a target that aborts leaves this as the culprit.
  fprintf(stderr, "replay: %s\n", path.c_str());
  LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(bytes.data()),
                         bytes.size());
  return true;
}

// The files of |arg|: itself, or a directory's regular files in name order
// so that runs are repeatable.
std::vector<fs::path> inputs_of(const char *arg) {
  std::vector<fs::path> files;
  std::error_code ec;
  if (!fs::is_directory(arg, ec)) {
    files.emplace_back(arg);
    return files;
  }
  for (const auto &entry : fs::directory_iterator(arg, ec)) {
    if (entry.is_regular_file(ec)) files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: %s FILE_OR_DIR...\n", argv[0]);
    return 2;
  }
  if (LLVMFuzzerInitialize != nullptr) LLVMFuzzerInitialize(&argc, &argv);
  size_t count = 0;
  for (int i = 1; i < argc; i++) {
    for (const fs::path &file : inputs_of(argv[i])) {
      if (!replay_file(file)) return 1;
      count++;
    }
  }
  if (count == 0) {
    fprintf(stderr, "replay: no input found\n");
    return 1;
  }
  printf("replay: %zu inputs, no finding\n", count);
  return 0;
}
