// Memory per record, save and load of a large catalog, each against pugixml doing the bare work
// on the same records in the same run.
//
//   catalog_bench [--records=1000000]
#include <algorithm>
#include <iostream>
#include <pugixml.hpp>

#include "bench_util.h"
#include "catalog/catalog_file.h"

using namespace lumivor;
using namespace lumivor::bench;

int main(int argc, char** argv) {
  const std::size_t records = IntOption(argc, argv, "records", 1'000'000);
  TempDir dir;
  const std::string ours_path = dir.Path() + "/ours.xml";
  const std::string dom_path = dir.Path() + "/dom.xml";

  const std::size_t heap_before = HeapInUse();
  CatalogTree tree = SyntheticCatalog(records, "Backup");
  const std::size_t tree_bytes = HeapInUse() - heap_before;
  Report("records", static_cast<double>(tree.Size()));
  Report("bytes_per_record", static_cast<double>(tree_bytes) / static_cast<double>(tree.Size()));

  // Our save streams the tree to the file. What it adds is the highest count of live
  // allocations during the save over the count before it; the document route below is counted
  // the same way (pugixml allocates through operator new here) for comparison.
  pugi::set_memory_management_functions([](std::size_t size) { return ::operator new(size); },
                                        [](void* block) { ::operator delete(block); });
  ResetPeakTrackedBytes();
  const std::size_t live_before = TrackedBytes();
  Stopwatch save_clock;
  WriteCatalogFile(tree, ours_path, NoProgress());
  const double save_seconds = save_clock.Seconds();
  const double extra = double(PeakTrackedBytes() - live_before);
  ResetPeakTrackedBytes();

  // The baseline: build a pugixml DOM of the same records and save it.
  Stopwatch dom_clock;
  {
    pugi::xml_document document;
    auto decl = document.append_child(pugi::node_declaration);
    decl.append_attribute("version") = "1.0";
    decl.append_attribute("encoding") = "utf-8";
    decl.append_attribute("standalone") = "yes";
    auto root = document.append_child("fileinfo");
    root.append_attribute("generated") = "https://orvane.example/lumivor";
    std::vector<pugi::xml_node> elements{root};
    std::string value;
    tree.ForEachPreOrder([&](const CatalogTree::Node* node, int depth) {
      elements.resize(static_cast<std::size_t>(depth) + 1);
      auto element = elements.back().append_child("file");
      const FieldViews fields = node->Record().Fields();
      for (int i = 0; i < kFieldCount; ++i) {
        if (fields[i].empty()) continue;
        value.assign(fields[i]);
        element.append_attribute(FieldNames[i].data()) = value.c_str();
      }
      if (node->HasChildren()) elements.push_back(element);
    });
    document.save_file(dom_path.c_str(), "", pugi::format_raw, pugi::encoding_utf8);
  }
  const double dom_seconds = dom_clock.Seconds();
  const double dom_extra = double(PeakTrackedBytes() - live_before);

  Report("save_seconds", save_seconds);
  Report("dom_save_seconds", dom_seconds);
  Report("save_ratio", save_seconds / dom_seconds);
  Report("save_extra_memory_ratio", extra / static_cast<double>(tree_bytes));
  Report("dom_save_extra_memory_ratio", dom_extra / static_cast<double>(tree_bytes));

  tree.Clear();
  // Both loads run three times, alternating, and the best of each counts: the first run of either
  // pays for fresh pages from the kernel, which says more about the order than about the code.
  double load_seconds = 1e9, parse_seconds = 1e9;
  std::size_t loaded_records = 0;
  for (int round = 0; round < 3; ++round) {
    {
      Stopwatch load_clock;
      CatalogTree loaded = LoadCatalog(ours_path);
      load_seconds = std::min(load_seconds, load_clock.Seconds());
      loaded_records = loaded.Size();
    }
    Stopwatch parse_clock;
    {
      pugi::xml_document document;
      if (!document.load_file(ours_path.c_str())) {
        std::cerr << "baseline parse failed\n";
        return 2;
      }
    }
    parse_seconds = std::min(parse_seconds, parse_clock.Seconds());
  }
  Report("load_seconds", load_seconds);
  Report("parse_seconds", parse_seconds);
  Report("load_ratio", load_seconds / parse_seconds);
  if (loaded_records != records) {
    std::cerr << "read back " << loaded_records << " records of " << records << '\n';
    return 2;
  }
  return 0;
}
