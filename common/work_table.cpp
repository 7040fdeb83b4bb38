#include "common/work_table.h"

#include <algorithm>

#include "common/text.h"

namespace snapmend {

std::size_t WorkTable::column(std::string_view header) const {
    for (std::size_t i = 0; i < m_headers.size(); ++i)
        if (m_headers[i] == header) return i;
    return npos;
}

std::size_t WorkTable::append(Row cells) {
    cells.resize(m_headers.size());
    m_rows.push_back(std::move(cells));
    return m_rows.size() - 1;
}

void WorkTable::removeRow(std::size_t r) { m_rows.erase(m_rows.begin() + static_cast<std::ptrdiff_t>(r)); }

std::int32_t WorkTable::int32At(std::size_t r, std::size_t c) const { return parseInt32(m_rows[r][c]); }
std::uint64_t WorkTable::u64At(std::size_t r, std::size_t c) const { return parseU64(m_rows[r][c]); }

void WorkTable::sortByInt32(std::size_t c) {
    std::stable_sort(m_rows.begin(), m_rows.end(),
                     [c](const Row& a, const Row& b) { return parseInt32(a[c]) < parseInt32(b[c]); });
}

void WorkTable::sortByU64(std::size_t c) {
    std::stable_sort(m_rows.begin(), m_rows.end(),
                     [c](const Row& a, const Row& b) { return parseU64(a[c]) < parseU64(b[c]); });
}

std::size_t WorkTable::findInt32(std::size_t c, std::int32_t key, std::size_t from) const {
    if (from >= m_rows.size()) return npos;
    auto first = m_rows.begin() + static_cast<std::ptrdiff_t>(from);
    auto it = std::lower_bound(first, m_rows.end(), key,
                               [c](const Row& row, std::int32_t k) { return parseInt32(row[c]) < k; });
    if (it == m_rows.end() || parseInt32((*it)[c]) != key) return npos;
    return static_cast<std::size_t>(it - m_rows.begin());
}

std::size_t WorkTable::findText(std::size_t c, std::string_view text) const {
    for (std::size_t r = 0; r < m_rows.size(); ++r)
        if (iequals(m_rows[r][c], text)) return r;
    return npos;
}

} // namespace snapmend
