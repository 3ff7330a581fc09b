// Reads a launch item as the program that starts it reads it: an item in a folder an account
// controls is read with that account's file-system identity (so a link there cannot make the
// agent read what the account itself cannot), and a unit with the drop-ins of every folder its
// manager reads, in the manager's order. Gives the item's text, a digest of its content (to tell a
// rewrite that changed the item from one that did not) and the program it runs.
//
// The identity is switched for the calling thread only (fsuid, fsgid and supplementary groups are
// per thread in Linux); the source's own thread calls it.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/endpoint_security/launch_items/LaunchItemRules.h"

namespace platform::es {

// SHA-256 of an item's content; absent when it could not be read whole.
using ItemDigest = std::optional<std::array<std::uint8_t, 32>>;

struct ItemContent {
  std::string text;  // the first kMaxItemText bytes ("" when unreadable)
  ItemDigest digest;
};

inline constexpr std::size_t kMaxItemText = 64 * 1024;

class ItemReader {
 public:
  // `root` as for itemFolders(); `accounts` for the identities of per-user folders.
  ItemReader(std::string root, const std::vector<Account>* accounts)
      : root_(std::move(root)), accounts_(accounts) {}

  ItemContent read(const ItemFacts& item) const;
  // What the item runs, given its content (a unit's drop-ins and, for a drop-in, its unit are
  // read here).
  std::optional<std::string> executable(const ItemFacts& item, const ItemContent& content) const;
  // Forgets which drop-in folders the unit folders hold (kept so that an item's drop-ins cost a
  // look into the folders that exist, not one into every folder a unit's could be in); the
  // source calls it when a folder appears or goes in a unit folder and at every rescan.
  void forgetFolders() { dropInFolders_.clear(); }

 private:
  const Account* accountOf(const ItemFacts& item) const;
  std::optional<std::string> unitCommand(const ItemFacts& item, const std::string& itemText) const;
  std::vector<std::string> dropIns(const std::vector<std::string>& unitPath,
                                   const std::string& unit) const;

  const std::string root_;
  const std::vector<Account>* accounts_;
  mutable std::map<std::string, std::set<std::string>> dropInFolders_;  // unit folder → "*.d" in it
};

}  // namespace platform::es
