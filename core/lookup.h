// The one lookup of every vocabulary table: rows of a key and what it stands for.
#pragma once

#include <array>
#include <cstddef>
#include <optional>

namespace orv {

template <typename Key, typename Value>
struct Row {
    Key key;
    Value value;
};

// The value of the first row whose key equals `key`.
template <typename Key, typename Value, std::size_t N, typename Probe>
constexpr std::optional<Value> lookup(const std::array<Row<Key, Value>, N>& table,
                                      const Probe& key) {
    for (const Row<Key, Value>& row : table) {
        if (row.key == key) {
            return row.value;
        }
    }
    return std::nullopt;
}

}  // namespace orv
