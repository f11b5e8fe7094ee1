#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "scan/volumes.h"

namespace lumivor {

// A fixed list of drive roots with their labels and facts, in place of the machine's mounts.
class FakeVolumes final : public VolumeService {
 public:
  struct Volume {
    std::string root, label;
    std::string id = {}, file_system = {}, size = {}, free = {};
  };
  explicit FakeVolumes(std::vector<Volume> volumes) : volumes_(std::move(volumes)) {}
  bool IsDriveRoot(std::string_view path) const override;
  std::string LabelOf(std::string_view root) const override;
  // The volume whose root is the longest one above `path`.
  VolumeFacts FactsOf(std::string_view path) const override;
  std::vector<MountedVolume> Mounted() const override;

 private:
  std::vector<Volume> volumes_;
};

}  // namespace lumivor
