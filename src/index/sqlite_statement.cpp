#include "index/sqlite_statement.h"

namespace lumivor {

bool IsDamage(int code) {
  const int primary = code & 0xFF;
  return primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB || primary == SQLITE_SCHEMA ||
         primary == SQLITE_MISMATCH || primary == SQLITE_FORMAT || primary == SQLITE_ERROR;
}

}  // namespace lumivor
