// The configuration loader on any file content: loading never fails (a damaged file is kept as
// ".bad" and the defaults are used), every typed getter answers, and what is saved loads again.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "config/config.h"

namespace {

// A folder of this process's own, reused for every input.
const std::string& Directory() {
  static const std::string directory = [] {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "lumivor-config-fuzz-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    return pattern;
  }();
  return directory;
}

// Reads every value the program reads at start; returns a digest so nothing is optimised away.
long ReadAll(lumivor::Configuration& config) {
  lumivor::ConfigRoot root = config.Root();
  long digest = static_cast<long>(root.versionNo().size());
  const lumivor::WindowFrameSettings frame = root.frame();
  digest += frame.max() + frame.left() + frame.top() + frame.height() + frame.width();
  digest += frame.plLeft().width() + frame.plLeft().col1() + frame.plLeft().col2() +
            frame.plLeft().col3();
  digest += frame.plHint().height() + frame.plHint().col1() + frame.plHint().col2();
  const lumivor::ColumnSettings nodes = root.nodes();
  for (int i = 0; i < nodes.Count(); ++i) {
    const lumivor::ColumnSetting node = nodes.Node(i);
    digest += static_cast<long>(node.Name().size() + node.Align().size()) + node.Visible() +
              node.Index() + node.DefaultExport() + node.Width() + node.ReadOnly();
  }
  return digest;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string& directory = Directory();
  std::filesystem::remove(directory + "/LumivorConfig.xml.bad");
  {
    std::ofstream out(directory + "/LumivorConfig.xml", std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  long first;
  {
    lumivor::Configuration config(directory);
    first = ReadAll(config);
    config.Save();
  }
  // What was saved reads back to the same values, without a warning.
  lumivor::Configuration again(directory);
  if (!again.LoadWarning().empty() || ReadAll(again) != first) std::abort();
  return 0;
}
