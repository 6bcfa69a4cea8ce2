// The members of a JSON object: one contiguous array kept in byte order of the keys.
//
// It serves as the object type of the system's JSON tree in place of std::map. The order is
// the one std::map<std::string, T, std::less<>> gives, so iteration, the written text and
// comparison are unchanged; but an object is one block of memory rather than one node per
// member, which is what made reading a store slow and large. Unlike std::map, adding or
// removing a member moves the others: references and iterators into an object do not
// survive a change to that object's set of keys (assigning to an existing member is fine).
#pragma once

#include <algorithm>
#include <cassert>
#include <compare>
#include <cstddef>
#include <functional>
#include <initializer_list>
#include <memory>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

namespace vft {

// Tells SortedMembers that the members given are already in key order, without repeats.
struct SortedUnique {
  explicit SortedUnique() = default;
};
inline constexpr SortedUnique sorted_unique{};

// Tells SortedMembers that the members given are in any order, and that a repeated key keeps
// the last value given (as a parser reads an object), not the first (as an insertion does).
struct LastWins {
  explicit LastWins() = default;
};
inline constexpr LastWins last_wins{};

template <class Key, class T, class Compare = std::less<>,
          class Allocator = std::allocator<std::pair<const Key, T>>>
class SortedMembers {
public:
  using key_type = Key;
  using mapped_type = T;
  // Keys are not const in storage, so that members can be moved when one is added or
  // removed; nothing changes a key in place.
  using value_type = std::pair<Key, T>;
  using key_compare = Compare;
  using allocator_type =
      typename std::allocator_traits<Allocator>::template rebind_alloc<value_type>;

private:
  using Storage = std::vector<value_type, allocator_type>;

public:
  using size_type = typename Storage::size_type;
  using difference_type = typename Storage::difference_type;
  using reference = value_type &;
  using const_reference = const value_type &;
  using iterator = typename Storage::iterator;
  using const_iterator = typename Storage::const_iterator;

  SortedMembers() = default;
  explicit SortedMembers(const allocator_type &allocator) : members_(allocator) {}
  template <class InputIt>
  SortedMembers(InputIt first, InputIt last, const allocator_type &allocator = {})
      : members_(allocator) {
    insert(first, last);
  }
  template <class InputIt>
  SortedMembers(SortedUnique, InputIt first, InputIt last, const allocator_type &allocator = {})
      : members_(first, last, allocator) {
    assert(std::adjacent_find(members_.begin(), members_.end(),
                              [](const value_type &a, const value_type &b) {
                                return !less(a.first, b.first);
                              }) == members_.end());
  }
  template <class InputIt>
  SortedMembers(LastWins, InputIt first, InputIt last, const allocator_type &allocator = {})
      : members_(first, last, allocator) {
    settle(0, true);
  }
  SortedMembers(std::initializer_list<value_type> init, const allocator_type &allocator = {})
      : members_(allocator) {
    insert(init.begin(), init.end());
  }

  iterator begin() noexcept { return members_.begin(); }
  const_iterator begin() const noexcept { return members_.begin(); }
  const_iterator cbegin() const noexcept { return members_.cbegin(); }
  iterator end() noexcept { return members_.end(); }
  const_iterator end() const noexcept { return members_.end(); }
  const_iterator cend() const noexcept { return members_.cend(); }

  bool empty() const noexcept { return members_.empty(); }
  size_type size() const noexcept { return members_.size(); }
  size_type max_size() const noexcept { return members_.max_size(); }
  void clear() noexcept { members_.clear(); }
  void reserve(size_type count) { members_.reserve(count); }
  void shrink_to_fit() { members_.shrink_to_fit(); }
  void swap(SortedMembers &other) noexcept { members_.swap(other.members_); }

  template <class K> iterator find(const K &key) {
    const auto at = lower_bound(key);
    return at != end() && !less(key, at->first) ? at : end();
  }
  template <class K> const_iterator find(const K &key) const {
    const auto at = lower_bound(key);
    return at != end() && !less(key, at->first) ? at : end();
  }
  template <class K> size_type count(const K &key) const { return find(key) == end() ? 0 : 1; }
  template <class K> bool contains(const K &key) const { return find(key) != end(); }

  template <class K> iterator lower_bound(const K &key) {
    return members_.begin() + (std::as_const(*this).lower_bound(key) - members_.cbegin());
  }
  template <class K> const_iterator lower_bound(const K &key) const {
    // Members mostly arrive in order (a stored object, a record being built): past the last
    // key is checked first.
    if (members_.empty() || less(members_.back().first, key)) return members_.end();
    return std::lower_bound(
        members_.begin(), members_.end(), key,
        [](const value_type &member, const K &wanted) { return less(member.first, wanted); });
  }

  template <class K> T &operator[](K &&key) {
    return try_emplace(std::forward<K>(key)).first->second;
  }

  template <class K, class... Args> std::pair<iterator, bool> try_emplace(K &&key, Args &&...args) {
    const auto at = lower_bound(key);
    if (at != end() && !less(key, at->first)) return {at, false};
    return {members_.emplace(at, std::piecewise_construct,
                             std::forward_as_tuple(std::forward<K>(key)),
                             std::forward_as_tuple(std::forward<Args>(args)...)),
            true};
  }

  template <class K, class V> std::pair<iterator, bool> emplace(K &&key, V &&value) {
    return try_emplace(std::forward<K>(key), std::forward<V>(value));
  }
  std::pair<iterator, bool> insert(const value_type &member) {
    return try_emplace(member.first, member.second);
  }
  std::pair<iterator, bool> insert(value_type &&member) {
    return try_emplace(std::move(member.first), std::move(member.second));
  }
  template <class InputIt> void insert(InputIt first, InputIt last) {
    const size_type old = members_.size();
    for (; first != last; ++first)
      members_.emplace_back(first->first, first->second);
    settle(old, false);
  }

  template <class K, class M> std::pair<iterator, bool> insert_or_assign(K &&key, M &&value) {
    auto [at, inserted] = try_emplace(std::forward<K>(key), std::forward<M>(value));
    if (!inserted) at->second = std::forward<M>(value);
    return {at, inserted};
  }

  iterator erase(const_iterator position) { return members_.erase(position); }
  iterator erase(iterator position) { return members_.erase(position); }
  iterator erase(const_iterator first, const_iterator last) { return members_.erase(first, last); }
  template <class K>
  requires(!std::is_convertible_v<K, const_iterator> &&
           !std::is_convertible_v<K, iterator>) size_type erase(const K &key) {
    const auto it = find(key);
    if (it == end()) return 0;
    members_.erase(it);
    return 1;
  }

  friend bool operator==(const SortedMembers &a, const SortedMembers &b) {
    return a.members_ == b.members_;
  }
  friend bool operator<(const SortedMembers &a, const SortedMembers &b) {
    return a.members_ < b.members_;
  }
  friend std::partial_ordering operator<=>(const SortedMembers &a, const SortedMembers &b) {
    return std::lexicographical_compare_three_way(
        a.begin(), a.end(), b.begin(), b.end(),
        [](const value_type &x, const value_type &y) -> std::partial_ordering {
          if (const auto keys = x.first <=> y.first; keys != 0) return keys;
          return x.second <=> y.second;
        });
  }

private:
  template <class A, class B> static bool less(const A &a, const B &b) { return Compare()(a, b); }

  // Puts members appended from index `from` on into place and drops repeated keys, keeping
  // the first or the last of each. One sort, not one insertion per member: members given in
  // reverse order would otherwise cost the square of their number.
  void settle(size_type from, bool keep_last) {
    const auto by_key = [](const value_type &a, const value_type &b) {
      return less(a.first, b.first);
    };
    const auto start = members_.begin() + static_cast<difference_type>(from == 0 ? 0 : from - 1);
    if (std::adjacent_find(start, members_.end(), std::not_fn(by_key)) == members_.end()) return;
    // A stable sort keeps the members of one key in the order they were given; those already
    // here come first.
    std::stable_sort(members_.begin(), members_.end(), by_key);
    auto out = members_.begin();
    for (auto run = members_.begin(); run != members_.end();) {
      auto next = std::next(run);
      while (next != members_.end() && !less(run->first, next->first))
        ++next;
      const auto kept = keep_last ? std::prev(next) : run;
      if (out != kept) *out = std::move(*kept);
      ++out;
      run = next;
    }
    members_.erase(out, members_.end());
  }

  Storage members_;
};

} // namespace vft
