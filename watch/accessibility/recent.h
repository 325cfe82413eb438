#pragma once
// A string-keyed map that keeps only its most recently used keys, so memory of windows seen
// over weeks stays bounded while the rules for every recent window stay the same.
#include <cstddef>
#include <list>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>

template <class Value> struct RecentMap {
    explicit RecentMap(std::size_t capacity) : capacity(capacity) {}

    // The value under key, which counts as a use of it.
    std::optional<Value> find(const std::string& key) {
        auto it = index.find(key);
        if (it == index.end()) return std::nullopt;
        order.splice(order.begin(), order, it->second);
        return it->second->second;
    }

    // Stores value under key as the most recent; the least recently used key goes when full.
    void put(const std::string& key, Value value) {
        if (auto it = index.find(key); it != index.end()) {
            it->second->second = std::move(value);
            order.splice(order.begin(), order, it->second);
            return;
        }
        order.emplace_front(key, std::move(value));
        index.emplace(key, order.begin());
        if (order.size() > capacity) {
            index.erase(order.back().first);
            order.pop_back();
        }
    }

    std::size_t size() const { return order.size(); }

    void clear() {
        order.clear();
        index.clear();
    }

    std::size_t capacity;
    std::list<std::pair<std::string, Value>> order; // most recent first
    std::unordered_map<std::string, typename std::list<std::pair<std::string, Value>>::iterator>
        index;
};
