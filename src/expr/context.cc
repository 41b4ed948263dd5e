#include "expr/context.h"

namespace qrx {

ExprContext::ExprContext() = default;

ExprContext::~ExprContext() {
  // The cached lists and compiled forms point at terms: they go first.
  compiled_forms.reset();
  lexed.clear();
  free_perm_term_tb(*this, procedure_table);
  free_loose_memory(*this);
}

}  // namespace qrx
