// The value table (unit FlexVars): a two-dimensional table of variant cells indexed (column, row),
// empty until its first row is added and grown one row at a time. The information window keeps
// five columns per row (caption, value, unit, alternative value, alternative unit); the frame-rate
// presets two (caption, value).
#pragma once
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace tavelo {

// Empty, integer, boolean, floating point or text.
using FlexVar = std::variant<std::monostate, int64_t, bool, double, std::string>;

struct FlexTable {
  int32_t Columns = 0;
  std::vector<std::vector<FlexVar>> Rows;  // each row holds Columns cells
};

void FlexClear(FlexTable& t);
bool FlexIsEmpty(const FlexTable& t);
int32_t FlexCount(const FlexTable& t);
// Cells outside the table are neither written nor read (a read gives an empty cell).
void FlexSetCell(FlexTable& t, int32_t column, int32_t row, const FlexVar& value);
const FlexVar& FlexGetCell(const FlexTable& t, int32_t column, int32_t row);
// Appends one row of cleared cells and returns its index; an empty table is first made with that
// many columns.
int32_t FlexAppendRows(FlexTable& t, int32_t columns);

}  // namespace tavelo
