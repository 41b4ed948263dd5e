// Database-type columns: filing a database type text under the product code
// the agent knows it by. The caller owns the record that receives the codes.
#pragma once

#include <string>
#include <string_view>

namespace qrx {

// The two codes a database type is filed under.
struct db_type_codes {
  std::string product;  // three-letter product code
  std::string second;   // second code; "unk" for a type without a product of its own
};

// Files `type` under its product code by its first three letters, lower-cased:
// writes `record.product` and, for some types, `record.second`. An empty
// text changes nothing.
void coll_db_type(db_type_codes& record, std::string_view type);

}  // namespace qrx
