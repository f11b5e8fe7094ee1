#include "scan/media_readers.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>

namespace lumivor {

namespace {

// The folder of the running program, with its trailing "/"; empty when unknown.
std::string ProgramFolder() {
  std::string path(4096, '\0');
  const ssize_t got = ::readlink("/proc/self/exe", path.data(), path.size());
  if (got <= 0 || static_cast<std::size_t>(got) >= path.size()) return {};
  path.resize(static_cast<std::size_t>(got));
  return path.substr(0, path.rfind('/') + 1);
}

struct LoadedReaders {
  const MediaReaderApi* api = nullptr;
  std::string error;
};

}  // namespace

const MediaReaderApi* LoadMediaReaders(const std::vector<std::string>& candidates,
                                       std::string* error) {
  std::string reasons;
  for (const std::string& path : candidates) {
    if (path.empty()) continue;
    // The module stays loaded for the life of the process: the readers it returns are used until
    // the end, and some of its libraries register handlers that an unload would leave dangling.
    void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
      const char* why = ::dlerror();
      reasons += "\n  " + (why ? std::string(why) : path + ": cannot be loaded");
      continue;
    }
    using Entry = const MediaReaderApi* (*)();
    const auto entry = reinterpret_cast<Entry>(::dlsym(handle, kMediaReaderEntryPoint));
    const MediaReaderApi* api = entry ? entry() : nullptr;
    if (api && api->version == kMediaReaderApiVersion && api->size == sizeof(MediaReaderApi) &&
        api->read_tags && api->list_archive && api->list_archive_bytes) {
      return api;
    }
    reasons += "\n  " + path + ": made by another build of the program";
    ::dlclose(handle);
  }
  if (error) {
    *error = std::string("the tag and archive readers (") + kMediaReaderModuleName +
             ") could not be loaded" + (reasons.empty() ? std::string(": no place to look") : ":") +
             reasons;
  }
  return nullptr;
}

std::vector<std::string> MediaReaderCandidates() {
  if (const char* chosen = std::getenv("LUMIVOR_MEDIA_MODULE"); chosen && *chosen) {
    return {chosen};
  }
  std::vector<std::string> candidates;
  const std::string folder = ProgramFolder();
  if (!folder.empty()) {
    candidates.push_back(folder + kMediaReaderModuleName);
#ifdef LUMIVOR_MEDIA_MODULE_INSTALL_DIR
    candidates.push_back(folder + "../" LUMIVOR_MEDIA_MODULE_INSTALL_DIR "/" +
                         kMediaReaderModuleName);
#endif
  }
#ifdef LUMIVOR_MEDIA_MODULE_BUILD_PATH
  candidates.emplace_back(LUMIVOR_MEDIA_MODULE_BUILD_PATH);
#endif
  return candidates;
}

namespace {

const LoadedReaders& Readers() {
  static const LoadedReaders loaded = [] {
    LoadedReaders made;
    made.api = LoadMediaReaders(MediaReaderCandidates(), &made.error);
    return made;
  }();
  return loaded;
}

}  // namespace

const MediaReaderApi* MediaReaders() { return Readers().api; }

const std::string& MediaReadersError() { return Readers().error; }

}  // namespace lumivor
