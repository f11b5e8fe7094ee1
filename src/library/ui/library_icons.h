#pragma once

#include <QIcon>

namespace lumivor {

// The small pictures of the library tree, drawn in code so that they look the same on every
// desktop and icon theme.

// A group: a box of stacked discs (the panel's own picture for the root and groups).
[[nodiscard]] QIcon GroupIcon();
// A plain folder (the picture some windows use for groups instead).
[[nodiscard]] QIcon FolderIcon();
// A catalog: a compact disc.
[[nodiscard]] QIcon CatalogIcon();
// `base` with a green dot in its lower right corner: the medium is connected.
[[nodiscard]] QIcon ConnectedIcon(const QIcon& base);
// `base` drawn faded: the medium is not connected.
[[nodiscard]] QIcon AbsentIcon(const QIcon& base);

}  // namespace lumivor
