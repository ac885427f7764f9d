#include "player/flex_vars.h"

#include <algorithm>

namespace tavelo {

void FlexClear(FlexTable& t) {
  t.Columns = 0;
  t.Rows.clear();
}

bool FlexIsEmpty(const FlexTable& t) { return t.Rows.empty(); }

int32_t FlexCount(const FlexTable& t) { return static_cast<int32_t>(t.Rows.size()); }

void FlexSetCell(FlexTable& t, int32_t column, int32_t row, const FlexVar& value) {
  if (column < 0 || column >= t.Columns || row < 0 || row >= FlexCount(t)) return;
  t.Rows[static_cast<size_t>(row)][static_cast<size_t>(column)] = value;
}

const FlexVar& FlexGetCell(const FlexTable& t, int32_t column, int32_t row) {
  static const FlexVar kEmpty;
  if (column < 0 || column >= t.Columns || row < 0 || row >= FlexCount(t)) return kEmpty;
  return t.Rows[static_cast<size_t>(row)][static_cast<size_t>(column)];
}

int32_t FlexAppendRows(FlexTable& t, int32_t columns) {
  if (FlexIsEmpty(t)) t.Columns = std::max(0, columns);
  t.Rows.emplace_back(static_cast<size_t>(t.Columns));
  return FlexCount(t) - 1;
}

}  // namespace tavelo
