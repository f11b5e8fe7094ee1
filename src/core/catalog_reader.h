#pragma once

#include <cstddef>
#include <string_view>

#include "core/catalog_tree.h"

namespace lumivor {

// Reads a catalog file's text straight into a tree, without building a document first: the fast
// path for opening catalogs. It handles what catalog files hold — an optional UTF-8 byte-order
// mark and declaration, one root element, nested elements with attributes and whitespace between
// them — with the same results as the document route (ReadTree): elements of any name are
// records, unknown attributes are ignored, top-level records default to FileType "directory" and
// FullPath = FileName, every CatalogName is `catalog_name`.
//
// `text` is decoded in place and must end with a NUL byte at text[size]. Returns false, with
// `tree` cleared, for anything outside that shape (comments, CDATA, a DOCTYPE, another encoding,
// text content) and for anything not well-formed; the caller then takes the document route, which
// reads every well-formed file and words the errors.
bool ReadCatalogText(char* text, std::size_t size, std::string_view catalog_name,
                     CatalogTree* tree);

}  // namespace lumivor
