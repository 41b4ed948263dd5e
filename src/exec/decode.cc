#include "exec/decode.h"

namespace qrx {

bool iterate_where_holds(curs&, const row_data&) { return true; }

}  // namespace qrx
