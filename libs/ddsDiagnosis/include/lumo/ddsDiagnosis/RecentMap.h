// A map that holds at most a fixed number of entries: a new key beyond that
// pushes out the entry added longest ago, and only that one. What discovery
// makes this process remember stays bounded, whatever a peer announces,
// without forgetting everything at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <utility>

namespace lumo::ddsDiagnosis {

template <typename Key, typename Value>
class RecentMap
{
public:
    explicit RecentMap(size_t capacity)
        : capacity_(capacity)
    {
    }

    // Adds or replaces (a replaced entry keeps its age). Returns whether an
    // older entry was pushed out to make room.
    bool Put(const Key& key, Value value)
    {
        if (auto found = entries_.find(key); found != entries_.end()) {
            found->second.value = std::move(value);
            return false;
        }
        bool pushedOut = false;
        if (entries_.size() >= capacity_ && !order_.empty()) {
            entries_.erase(order_.begin()->second);
            order_.erase(order_.begin());
            pushedOut = true;
        }
        entries_.emplace(key, Entry{std::move(value), nextAge_});
        order_.emplace(nextAge_++, key);
        return pushedOut;
    }

    const Value* Find(const Key& key) const
    {
        const auto found = entries_.find(key);
        return found == entries_.end() ? nullptr : &found->second.value;
    }

    bool Contains(const Key& key) const { return entries_.count(key) != 0; }

    // Returns whether the key was there.
    bool Erase(const Key& key)
    {
        const auto found = entries_.find(key);
        if (found == entries_.end()) {
            return false;
        }
        order_.erase(found->second.age);
        entries_.erase(found);
        return true;
    }

    size_t Size() const { return entries_.size(); }

    // In the order of the keys.
    template <typename Visit>
    void ForEach(Visit visit) const
    {
        for (const auto& [key, entry] : entries_) {
            visit(key, entry.value);
        }
    }

    // Oldest first: in the order the keys were added.
    template <typename Visit>
    void ForEachOldestFirst(Visit visit) const
    {
        for (const auto& [age, key] : order_) {
            visit(key, entries_.at(key).value);
        }
    }

private:
    struct Entry
    {
        Value value;
        uint64_t age;
    };

    size_t capacity_;
    std::map<Key, Entry> entries_;
    std::map<uint64_t, Key> order_; // age -> key, oldest first
    uint64_t nextAge_ = 0;
};

} // namespace lumo::ddsDiagnosis
