// A ".strings" table: the localization tables are read from the bundle at
// run time.
#include "FuzzSupport.h"
#include "localization/StringsTable.h"

using namespace corvane;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  try {
    StringsTable table = StringsTable::parse(fuzz::text(data, size));
    for (const auto& [key, value] : table.entries()) fuzz::require(table.find(key) == value, "a key it cannot find");
  } catch (const StringsTable::ParseError&) {
  }
  return 0;
}
