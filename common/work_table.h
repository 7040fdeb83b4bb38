// The hidden work tables: named columns of decimal text cells, sorted numerically by a column,
// searched by binary search and consumed row by row. Stored logs rely on the header words and
// on the text forms of the cells.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace snapmend {

class WorkTable {
public:
    using Row = std::vector<std::string>;

    WorkTable() = default;
    explicit WorkTable(std::vector<std::string> headers) : m_headers(std::move(headers)) {}

    const std::vector<std::string>& headers() const { return m_headers; }
    std::size_t columnCount() const { return m_headers.size(); }
    // Index of the column with this header word, or npos.
    std::size_t column(std::string_view header) const;

    std::size_t rowCount() const { return m_rows.size(); }
    bool empty() const { return m_rows.empty(); }

    // Appends a row; missing cells are empty, extra cells are dropped. Returns its index.
    std::size_t append(Row cells);
    const Row& row(std::size_t r) const { return m_rows[r]; }
    const std::string& cell(std::size_t r, std::size_t c) const { return m_rows[r][c]; }
    void setCell(std::size_t r, std::size_t c, std::string text) { m_rows[r][c] = std::move(text); }
    void removeRow(std::size_t r);
    void clear() { m_rows.clear(); }

    std::int32_t int32At(std::size_t r, std::size_t c) const;
    std::uint64_t u64At(std::size_t r, std::size_t c) const;

    // Stable ascending sort by the 32-bit signed parse of a column.
    void sortByInt32(std::size_t c);
    // Stable ascending sort by the unsigned 64-bit parse of a column (sector columns).
    void sortByU64(std::size_t c);

    // Binary search over rows [from, rowCount) sorted by column c (32-bit parse): the first row
    // whose value equals key, or npos.
    std::size_t findInt32(std::size_t c, std::int32_t key, std::size_t from = 0) const;
    // Linear search for an exact, case-insensitive text match in column c.
    std::size_t findText(std::size_t c, std::string_view text) const;

    static constexpr std::size_t npos = static_cast<std::size_t>(-1);

private:
    std::vector<std::string> m_headers;
    std::vector<Row> m_rows;
};

} // namespace snapmend
