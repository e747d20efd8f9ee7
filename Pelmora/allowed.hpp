// Which pairs a Pelmora query leaves out, decided without Python: the
// allowed_pairs forms (None, "base", "fixed", or pairs of object names with
// those words among them), the pairs the object itself ignores, and the
// contacts of the fixed bodies the words stand for.
//
// The binding reads a request as it finds it (AllowedRequest, with the text of
// every piece an error could quote) and the rules here judge it, in the order
// the request is written, so the first fault is the one reported.
#pragma once

#include "Pelmora/pelmora.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace pelmora {

inline constexpr const char* kAllowedForm =
    "None, \"base\", \"fixed\", or a list of pairs of (kind, name) object names such as "
    "((\"env\", \"pedestal\"), (\"link\", \"link_base\")), optionally with \"base\" or "
    "\"fixed\" among them";

// The objects of a scene by kind.
struct SceneNames {
  std::vector<std::string> links, envs;

  bool has(const ObjectName& o) const {
    if (o.kind != "link" && o.kind != "env") return false;
    const std::vector<std::string>& names = o.kind == "link" ? links : envs;
    return std::find(names.begin(), names.end(), o.name) != names.end();
  }
};

// What the words stand for: "base", the base's contacts with the environment
// at the zero joint vector; "fixed", those and the environment bodies'
// contacts among themselves.
struct Contacts {
  std::set<Pair> base, fixed;
};

// The base's contacts with the environment and the environment bodies'
// contacts among themselves, out of every pair touching at the zero joint
// vector.  The base and the environment never move, so these touch in every
// configuration.
inline Contacts fixed_contacts(const std::set<Pair>& at_zero, const std::string& base) {
  const ObjectName base_link{"link", base};
  Contacts c;
  for (const Pair& q : at_zero) {
    const bool base_env = (q.first.kind == "env" && q.second == base_link) ||
                          (q.second.kind == "env" && q.first == base_link);
    const bool env_env = q.first.kind == "env" && q.second.kind == "env";
    if (base_env) c.base.insert(q);
    if (base_env || env_env) c.fixed.insert(q);
  }
  return c;
}

// One half of a requested pair as the binding found it.
struct RequestedObject {
  bool sequence = false;  // a tuple or a list
  bool names = false;     // ... of two str: then `name` holds them
  ObjectName name;
  std::string repr;
};

// One entry of a requested list: a str (a word, valid or not), a tuple or list
// of two (a pair), or anything else.
struct RequestedEntry {
  enum class Form { word, pair, other } form = Form::other;
  std::string word, repr;
  std::array<RequestedObject, 2> half;
};

struct AllowedRequest {
  enum class Form { none, word, items, not_iterable } form = Form::none;
  std::string word, repr;  // the word, and the request's text (for the error)
  std::vector<RequestedEntry> items;
};

// The contact set a word names, or nullptr when it names none.
inline const std::set<Pair>* contacts_named(const Contacts& c, const std::string& word) {
  if (word == "base") return &c.base;
  if (word == "fixed") return &c.fixed;
  return nullptr;
}

// One half of a requested pair, checked against the scene so that a mistyped
// name fails instead of silently allowing nothing.
inline ObjectName allowed_object(const SceneNames& scene, const RequestedObject& h,
                                 const RequestedEntry& entry) {
  if (!h.sequence)
    throw std::invalid_argument("allowed_pairs entry " + entry.repr +
                                " is not a pair; allowed_pairs must be " + kAllowedForm);
  if (!h.names)
    throw std::invalid_argument("allowed_pairs entry " + entry.repr +
                                " does not hold two (kind, name) object names; allowed_pairs "
                                "must be " +
                                kAllowedForm);
  if (!scene.has(h.name))
    throw std::invalid_argument("allowed_pairs entry " + entry.repr + " names " + h.repr +
                                ", which is no object of this scene");
  return h.name;
}

// The set of pairs a request allows (empty for None).
inline std::set<Pair> resolve_allowed(const SceneNames& scene, const Contacts& contacts,
                                      const AllowedRequest& request) {
  using Form = AllowedRequest::Form;
  std::set<Pair> out;
  const auto bad_request = [&] {
    return std::invalid_argument(std::string("allowed_pairs must be ") + kAllowedForm + ", got " +
                                 request.repr);
  };
  switch (request.form) {
    case Form::none:
      return out;
    case Form::not_iterable:
      throw bad_request();
    case Form::word:
      if (const std::set<Pair>* c = contacts_named(contacts, request.word)) return *c;
      throw bad_request();
    case Form::items:
      break;
  }
  for (const RequestedEntry& entry : request.items) {
    if (entry.form == RequestedEntry::Form::word)
      if (const std::set<Pair>* c = contacts_named(contacts, entry.word)) {
        out.insert(c->begin(), c->end());
        continue;
      }
    if (entry.form != RequestedEntry::Form::pair)
      throw std::invalid_argument("allowed_pairs entry " + entry.repr +
                                  " is not a pair; allowed_pairs must be " + kAllowedForm);
    const ObjectName a = allowed_object(scene, entry.half[0], entry);
    out.insert(ordered_pair(a, allowed_object(scene, entry.half[1], entry)));
  }
  return out;
}

// The pairs an object ignores in every query: its adjacent links (entries of
// one name or two) and its allowed pairs.
inline std::set<Pair> own_ignored(const std::vector<std::vector<ObjectName>>& adjacent,
                                  const std::vector<Pair>& allowed) {
  std::set<Pair> out;
  for (std::vector<ObjectName> names : adjacent) {
    if (names.size() == 1) names.push_back(names[0]);
    if (names.size() != 2)
      throw std::invalid_argument("_adjacent_pairs must hold pairs of object names");
    out.insert(ordered_pair(names[0], names[1]));
  }
  out.insert(allowed.begin(), allowed.end());
  return out;
}

// The pairs a collision test reports that a query keeps, each in ascending order.
inline std::set<Pair> kept_pairs(const std::vector<std::pair<ObjectName, ObjectName>>& touching,
                                 const std::set<Pair>& ignored) {
  std::set<Pair> out;
  for (const auto& [a, b] : touching)
    if (Pair p = ordered_pair(a, b); !ignored.count(p)) out.insert(std::move(p));
  return out;
}

// For each name, the index of its first occurrence (a repeated link name
// reuses the mesh of its first occurrence).
inline std::vector<std::size_t> first_occurrence(const std::vector<std::string>& names) {
  std::vector<std::size_t> out(names.size());
  for (std::size_t i = 0; i < names.size(); ++i) {
    std::size_t first = 0;
    while (names[first] != names[i]) ++first;
    out[i] = first;
  }
  return out;
}

}  // namespace pelmora
