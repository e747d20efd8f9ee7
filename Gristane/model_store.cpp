#include "Gristane/model_store.hpp"

#include <algorithm>
#include <array>
#include <fstream>
#include <istream>
#include <limits>

namespace gristane {

namespace {

// ---------------------------------------------------------------------------
// Hashing.

constexpr std::uint64_t kP1 = 0x9E3779B185EBCA87ULL, kP2 = 0xC2B2AE3D27D4EB4FULL,
                        kP3 = 0x165667B19E3779F9ULL, kP4 = 0x85EBCA77C2B2AE63ULL,
                        kP5 = 0x27D4EB2F165667C5ULL;

std::uint64_t rotl(std::uint64_t x, int r) { return (x << r) | (x >> (64 - r)); }
std::uint64_t round64(std::uint64_t acc, std::uint64_t in) {
  return rotl(acc + in * kP2, 31) * kP1;
}
std::uint64_t merge64(std::uint64_t h, std::uint64_t v) { return (h ^ round64(0, v)) * kP1 + kP4; }
std::uint64_t read64(const unsigned char* p) {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}
std::uint32_t read32(const unsigned char* p) {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

}  // namespace

Hash64::Hash64(std::uint64_t seed)
    : lanes_{seed + kP1 + kP2, seed + kP2, seed, seed - kP1}, seed_(seed) {}

void Hash64::update(const void* data, std::size_t n) {
  if (n == 0) return;  // an empty vector's data() may be null
  const auto* p = static_cast<const unsigned char*>(data);
  total_ += n;
  if (buffered_ > 0) {
    const std::size_t take = std::min(n, sizeof buffer_ - buffered_);
    std::memcpy(buffer_ + buffered_, p, take);
    buffered_ += take;
    p += take;
    n -= take;
    if (buffered_ < sizeof buffer_) return;
    for (int k = 0; k < 4; ++k) lanes_[k] = round64(lanes_[k], read64(buffer_ + 8 * k));
    buffered_ = 0;
  }
  std::uint64_t v0 = lanes_[0], v1 = lanes_[1], v2 = lanes_[2], v3 = lanes_[3];
  for (; n >= 32; p += 32, n -= 32) {
    v0 = round64(v0, read64(p));
    v1 = round64(v1, read64(p + 8));
    v2 = round64(v2, read64(p + 16));
    v3 = round64(v3, read64(p + 24));
  }
  lanes_[0] = v0, lanes_[1] = v1, lanes_[2] = v2, lanes_[3] = v3;
  std::memcpy(buffer_, p, n);
  buffered_ = n;
}

std::uint64_t Hash64::digest() const {
  std::uint64_t h;
  if (total_ >= 32) {
    h = rotl(lanes_[0], 1) + rotl(lanes_[1], 7) + rotl(lanes_[2], 12) + rotl(lanes_[3], 18);
    for (std::uint64_t v : lanes_) h = merge64(h, v);
  } else {
    h = seed_ + kP5;
  }
  h += total_;
  const unsigned char* p = buffer_;
  std::size_t n = buffered_;
  for (; n >= 8; p += 8, n -= 8) h = rotl(h ^ round64(0, read64(p)), 27) * kP1 + kP4;
  if (n >= 4) {
    h = rotl(h ^ (static_cast<std::uint64_t>(read32(p)) * kP1), 23) * kP2 + kP3;
    p += 4;
    n -= 4;
  }
  for (; n > 0; ++p, --n) h = rotl(h ^ (*p * kP5), 11) * kP1;
  h ^= h >> 33;
  h *= kP2;
  h ^= h >> 29;
  h *= kP3;
  h ^= h >> 32;
  return h;
}

KeyHasher::KeyHasher() : a_(0x6d6f64656c6b6579ULL), b_(0x63656c6c70617468ULL) {}

void KeyHasher::mesh(const MeshRef& m) {
  value(static_cast<std::uint64_t>(m.n_vertices));
  value(static_cast<std::uint64_t>(m.n_faces));
  update(m.vertices, 3 * m.n_vertices * sizeof(double));
  update(m.faces, 3 * m.n_faces * sizeof(std::int64_t));
}

// ---------------------------------------------------------------------------
// Bytes in and out.  Numbers are written as this machine holds them; the
// header's byte-order mark refuses a file from a machine that holds them
// otherwise.

namespace {

constexpr unsigned char kMagic[8] = {'c', 'e', 'l', 'l', 'm', 'o', 'd', 'l'};
// The layout of the payloads below; a change to it, or to how what they hold
// is computed, changes this number (4: pair tables whose threshold reaches
// past a link's field are computed soundly; 5: the room a pair keeps in the
// tables' cells it is not clear everywhere in).
constexpr std::uint32_t kFormat = 5;
constexpr std::uint32_t kByteOrder = 0x01020304;
// Tree walks keep a fixed stack (SurfaceCover::walk 128 entries, the
// distance engine's box tree 64): a tree read back may be no deeper than
// what they hold.  Built trees are about log2 of their size deep.
constexpr std::size_t kMaxCoverDepth = 120;
constexpr std::size_t kMaxBoxTreeDepth = 60;

// A payload on its way to a sink, in chunks, checksummed as it goes.
class Writer {
 public:
  explicit Writer(ModelSink& sink) : sink_(sink) { buffer_.reserve(kChunk); }
  template <class T>
  void put(T v) {
    put(&v, 1);
  }
  template <class T>
  void put(const T* v, std::size_t n) {
    static_assert(std::is_arithmetic_v<T>);
    const auto* p = reinterpret_cast<const unsigned char*>(v);
    const std::size_t bytes = n * sizeof(T);
    if (buffer_.size() + bytes > kChunk) flush();
    if (bytes >= kChunk) {  // a large block goes as it is
      emit(p, bytes);
      return;
    }
    buffer_.insert(buffer_.end(), p, p + bytes);
  }
  template <class T>
  void put_vector(const std::vector<T>& v) {
    put(static_cast<std::uint64_t>(v.size()));
    put(v.data(), v.size());
  }
  void flush() {
    emit(buffer_.data(), buffer_.size());
    buffer_.clear();
  }
  std::uint64_t bytes() const { return bytes_ + buffer_.size(); }
  std::uint64_t checksum() const { return sum_.digest(); }

 private:
  static constexpr std::size_t kChunk = std::size_t{1} << 20;
  void emit(const unsigned char* p, std::size_t n) {
    if (n == 0) return;
    sum_.update(p, n);
    bytes_ += n;
    sink_.append(p, n);
  }
  ModelSink& sink_;
  std::vector<unsigned char> buffer_;
  Hash64 sum_;
  std::uint64_t bytes_ = 0;
};

// A stored file's payload, read straight into the vectors it fills (a
// model's hundred megabytes are not held twice) and checksummed on the way.
// Sizes are checked against the bytes the header announced, so no size read
// here allocates beyond the file; any shortfall marks the read failed and
// every later value reads as zero.
class Reader {
 public:
  Reader(std::istream& in, std::uint64_t bytes) : in_(in), left_(bytes) {}
  bool ok() const { return ok_; }
  void fail() { ok_ = false; }
  // Every announced byte read, nothing after them, and the checksum matches.
  bool finished(std::uint64_t checksum) {
    if (!ok_ || left_ != 0 || at_ != have_) return false;
    if (in_.rdbuf()->sgetc() != std::char_traits<char>::eof()) return false;
    return sum_.digest() == checksum;
  }

  template <class T>
  T get() {
    static_assert(std::is_arithmetic_v<T>);
    T v{};
    raw(&v, sizeof v);
    return v;
  }
  template <class T>
  void get(T* v, std::size_t n) {
    static_assert(std::is_arithmetic_v<T>);
    raw(v, n * sizeof(T));
  }
  // A count of items of at least `item_bytes` each: never more than the
  // bytes left could hold.
  std::size_t count(std::size_t item_bytes) {
    const auto n = get<std::uint64_t>();
    if (!ok_ || n > remaining() / std::max<std::size_t>(item_bytes, 1)) {
      ok_ = false;
      return 0;
    }
    return static_cast<std::size_t>(n);
  }
  template <class T>
  void get_vector(std::vector<T>& v) {
    static_assert(std::is_arithmetic_v<T>);
    v.resize(count(sizeof(T)));
    raw(v.data(), v.size() * sizeof(T));
  }

 private:
  std::uint64_t remaining() const { return left_ + (have_ - at_); }
  void raw(void* dst, std::size_t n) {
    if (n == 0) return;  // an empty vector's data() may be null
    auto* out = static_cast<unsigned char*>(dst);
    if (!ok_ || n > remaining()) {
      ok_ = false;
      std::memset(out, 0, n);
      return;
    }
    const std::size_t first = std::min(n, have_ - at_);
    std::memcpy(out, buffer_.data() + at_, first);
    at_ += first;
    out += first;
    n -= first;
    if (n == 0) return;
    if (n >= buffer_.size()) {  // a large block: straight into place
      if (!fill(out, n)) std::memset(out, 0, n);
      return;
    }
    have_ = static_cast<std::size_t>(std::min<std::uint64_t>(buffer_.size(), left_));
    at_ = 0;
    if (!fill(buffer_.data(), have_)) {
      have_ = 0;
      std::memset(out, 0, n);
      return;
    }
    std::memcpy(out, buffer_.data(), n);
    at_ = n;
  }
  // n bytes of the file into dst, counted and checksummed a piece at a time
  // (each piece is summed while it is still in the processor's cache).
  bool fill(unsigned char* dst, std::size_t n) {
    if (n > left_) {
      ok_ = false;
      return false;
    }
    constexpr std::size_t kPiece = std::size_t{1} << 18;
    for (std::size_t done = 0; done < n;) {
      const std::size_t piece = std::min(kPiece, n - done);
      const auto got = in_.rdbuf()->sgetn(reinterpret_cast<char*>(dst + done),
                                          static_cast<std::streamsize>(piece));
      if (got != static_cast<std::streamsize>(piece)) {
        ok_ = false;
        return false;
      }
      sum_.update(dst + done, piece);
      done += piece;
    }
    left_ -= n;
    return true;
  }

  std::istream& in_;
  std::uint64_t left_;  // bytes of the payload not yet taken from the file
  std::vector<unsigned char> buffer_ = std::vector<unsigned char>(std::size_t{1} << 16);
  std::size_t have_ = 0, at_ = 0;
  Hash64 sum_;
  bool ok_ = true;
};

// The product of a grid's three sides, or false when a side is negative or
// the product would not fit.
bool grid_cells(const std::int64_t shape[3], std::size_t& cells) {
  std::uint64_t total = 1;
  for (int a = 0; a < 3; ++a) {
    if (shape[a] < 0 || shape[a] > (std::int64_t{1} << 40)) return false;
    const auto s = static_cast<std::uint64_t>(shape[a]);
    if (s != 0 && total > std::numeric_limits<std::uint64_t>::max() / s) return false;
    total *= s;
  }
  if (total > std::numeric_limits<std::size_t>::max()) return false;
  cells = static_cast<std::size_t>(total);
  return true;
}

// A grid's sides as doubles, as its queries compare them.
bool extent_matches(const std::int64_t shape[3], const double extent[3]) {
  for (int a = 0; a < 3; ++a)
    if (!(extent[a] == static_cast<double>(shape[a]))) return false;
  return true;
}

// A tree stored as an array: every node's children are both -1 (a leaf) or
// both later nodes, so following them ends; the deepest path fits the
// walker's stack.  `left`, `right` of node k.
template <class Left, class Right>
bool tree_shape(std::size_t n, Left&& left, Right&& right, std::size_t max_depth) {
  std::vector<std::uint32_t> depth(n, 0);
  for (std::size_t k = 0; k < n; ++k) {
    const std::int64_t l = left(k), r = right(k);
    if (l == -1 && r == -1) continue;
    if (l <= static_cast<std::int64_t>(k) || r <= static_cast<std::int64_t>(k) ||
        l >= static_cast<std::int64_t>(n) || r >= static_cast<std::int64_t>(n))
      return false;
    const std::uint32_t d = depth[k] + 1;
    if (d > max_depth) return false;
    depth[static_cast<std::size_t>(l)] = std::max(depth[static_cast<std::size_t>(l)], d);
    depth[static_cast<std::size_t>(r)] = std::max(depth[static_cast<std::size_t>(r)], d);
  }
  return true;
}

}  // namespace

// Friend of the model classes: their parts, field by field.
struct ModelStore {
  // -- SurfaceCover
  static void put(Writer& w, const SurfaceCover& c) {
    w.put(c.rho_);
    w.put_vector(c.points_);
    w.put(static_cast<std::uint64_t>(c.nodes_.size()));
    for (const CoverNode& n : c.nodes_) {
      w.put(n.centre, 3);
      w.put(n.radius);
      w.put(n.begin);
      w.put(n.count);
      w.put(n.left);
      w.put(n.right);
    }
  }
  static bool get(Reader& r, SurfaceCover& c) {
    c.rho_ = r.get<double>();
    r.get_vector(c.points_);
    if (c.points_.size() % 3 != 0) r.fail();
    const std::size_t n_points = c.points_.size() / 3;
    c.nodes_.resize(r.count(48));
    for (CoverNode& n : c.nodes_) {
      r.get(n.centre, 3);
      n.radius = r.get<double>();
      n.begin = r.get<std::uint32_t>();
      n.count = r.get<std::uint32_t>();
      n.left = r.get<std::int32_t>();
      n.right = r.get<std::int32_t>();
      if (std::uint64_t{n.begin} + n.count > n_points) r.fail();
      // surface_clear keeps a leaf's open points in an array of this size.
      if (n.left < 0 && n.count > SurfaceCover::kLeafPoints) r.fail();
    }
    return r.ok() && tree_shape(
                         c.nodes_.size(), [&](std::size_t k) { return c.nodes_[k].left; },
                         [&](std::size_t k) { return c.nodes_[k].right; }, kMaxCoverDepth);
  }

  // -- LinkShape
  static void put(Writer& w, const LinkShape& s) {
    put(w, s.cover_);
    w.put(s.lo_, 3);
    w.put(s.box_lo_, 3);
    w.put(s.box_hi_, 3);
    w.put(s.inv_cell_);
    w.put(s.half_diag_);
    w.put(s.reach_);
    w.put(s.shape_, 3);
    w.put(s.extent_, 3);
    w.put(s.quantum_);
    w.put_vector(s.field_);
  }
  static bool get(Reader& r, LinkShape& s) {
    if (!get(r, s.cover_)) return false;
    r.get(s.lo_, 3);
    r.get(s.box_lo_, 3);
    r.get(s.box_hi_, 3);
    s.inv_cell_ = r.get<double>();
    s.half_diag_ = r.get<double>();
    s.reach_ = r.get<double>();
    r.get(s.shape_, 3);
    r.get(s.extent_, 3);
    s.quantum_ = r.get<double>();
    r.get_vector(s.field_);
    std::size_t cells = 0;
    return r.ok() && grid_cells(s.shape_, cells) && cells == s.field_.size() &&
           extent_matches(s.shape_, s.extent_);
  }

  // -- SelfCollisionModel
  static void put(Writer& w, const SelfCollisionModel& m) {
    w.put(static_cast<std::uint64_t>(m.shapes_.size()));
    for (const LinkShape& s : m.shapes_) put(w, s);
    put_pairs(w, m.checked_);
    w.put(m.tau_);
    w.put(m.skip_);
    w.put(m.e_);
    w.put(static_cast<std::uint64_t>(m.tables_.size()));
    for (const SelfCollisionModel::PairTable& t : m.tables_) {
      w.put(static_cast<std::uint64_t>(t.pair));
      w.put(static_cast<std::uint64_t>(t.joint));
      w.put(t.lo, 2);
      w.put(t.inv_delta);
      w.put(t.cells, 2);
      w.put_vector(t.clear);
      w.put(t.swing, 2);
      w.put(t.room_step);
      w.put_vector(t.room);
    }
  }
  static std::unique_ptr<SelfCollisionModel> get_self_collision(Reader& r, std::size_t n_joints) {
    std::unique_ptr<SelfCollisionModel> m(new SelfCollisionModel());
    const std::size_t n_links = n_joints + 1;
    if (r.count(1) != n_links) return nullptr;
    m->shapes_.reserve(n_links);
    for (std::size_t i = 0; i < n_links; ++i) {
      LinkShape s;
      if (!get(r, s)) return nullptr;
      m->shapes_.push_back(std::move(s));
    }
    if (!get_pairs(r, m->checked_, n_links)) return nullptr;
    m->tau_ = r.get<double>();
    m->skip_ = r.get<double>();
    m->e_ = r.get<double>();
    m->tables_.resize(r.count(1));
    for (SelfCollisionModel::PairTable& t : m->tables_) {
      const auto pair = r.get<std::uint64_t>(), joint = r.get<std::uint64_t>();
      r.get(t.lo, 2);
      t.inv_delta = r.get<double>();
      r.get(t.cells, 2);
      r.get_vector(t.clear);
      r.get(t.swing, 2);
      t.room_step = r.get<double>();
      r.get_vector(t.room);
      // The table is read at q[joint] and q[joint + 1], for pair `pair`.
      if (!r.ok() || pair >= m->checked_.size() || joint + 1 >= n_joints) return nullptr;
      t.pair = static_cast<std::size_t>(pair);
      t.joint = static_cast<std::size_t>(joint);
      const std::int64_t shape[3] = {t.cells[0], t.cells[1], 1};
      std::size_t cells = 0;
      if (!grid_cells(shape, cells) || cells != t.clear.size()) return nullptr;
      // A room is only ever read with its steps and swings, all finite and
      // not negative.
      if (!t.room.empty() && t.room.size() != cells) return nullptr;
      for (double v : {t.swing[0], t.swing[1], t.room_step})
        if (!(v >= 0.0 && v < 1e300)) return nullptr;
    }
    m->index_tables();
    return r.ok() ? std::move(m) : nullptr;
  }

  static void put_pairs(Writer& w, const LinkPairs& pairs) {
    w.put(static_cast<std::uint64_t>(pairs.size()));
    for (const auto& [i, j] : pairs) {
      w.put(static_cast<std::uint64_t>(i));
      w.put(static_cast<std::uint64_t>(j));
    }
  }
  // Pairs i < j of links below n_links.
  static bool get_pairs(Reader& r, LinkPairs& pairs, std::size_t n_links) {
    pairs.resize(r.count(16));
    for (auto& [i, j] : pairs) {
      const auto a = r.get<std::uint64_t>(), b = r.get<std::uint64_t>();
      if (!(a < b && b < n_links)) r.fail();
      i = static_cast<std::size_t>(a);
      j = static_cast<std::size_t>(b);
    }
    return r.ok();
  }

  // -- EnvironmentDistance
  static void put(Writer& w, const EnvironmentDistance& e) {
    w.put(static_cast<std::uint64_t>(e.tris_.size()));
    for (const EnvironmentDistance::Tri& t : e.tris_) {
      w.put(t.a.data(), 3);
      w.put(t.b.data(), 3);
      w.put(t.c.data(), 3);
      w.put(t.body);
    }
    w.put(static_cast<std::uint64_t>(e.bvh_.size()));
    for (const EnvironmentDistance::BvhNode& n : e.bvh_) {
      w.put(n.lo, 3);
      w.put(n.hi, 3);
      w.put(n.begin);
      w.put(n.count);
      w.put(n.left);
      w.put(n.right);
    }
    w.put_vector(e.closed_);
    w.put(e.box_lo_, 3);
    w.put(e.box_hi_, 3);
    w.put(e.bin_lo_, 2);
    w.put(e.inv_bin_);
    w.put(e.bins_, 2);
    w.put_vector(e.bin_start_);
    w.put_vector(e.bin_tris_);
    w.put(e.lo_, 3);
    w.put(e.cell_);
    w.put(e.inv_cell_);
    w.put(e.shape_, 3);
    w.put(e.extent_, 3);
    w.put_vector(e.field_);
    w.put(e.exact_below_);
    w.put(e.list_reach_);
    w.put(e.bricks_, 3);
    w.put_vector(e.list_start_);
    w.put_vector(e.list_tris_);
    w.put_vector(e.offset_);
    w.put(e.closed_offset_);
  }
  // What a read environment's sizes and indices must agree on before any query
  // may trust them.
  static bool environment_consistent(const EnvironmentDistance& e, std::size_t n_bodies) {
    if (e.closed_.size() != n_bodies) return false;
    if (!offsets_fit(e)) return false;
    // Every query starts at the box tree's root once there is a triangle.
    if (!e.tris_.empty() && e.bvh_.empty()) return false;
    if (!tree_shape(
            e.bvh_.size(), [&](std::size_t k) { return e.bvh_[k].left; },
            [&](std::size_t k) { return e.bvh_[k].right; }, kMaxBoxTreeDepth))
      return false;
    // The (x, y) bins: bin b's triangles are bin_tris_[bin_start_[b] ..
    // bin_start_[b + 1]).
    const std::int64_t bins[3] = {e.bins_[0], e.bins_[1], 1};
    std::size_t n_bins = 0;
    if (!grid_cells(bins, n_bins) || n_bins == std::numeric_limits<std::size_t>::max() ||
        e.bin_start_.size() != n_bins + 1 || e.bin_start_.back() != e.bin_tris_.size())
      return false;
    for (std::size_t b = 0; b < n_bins; ++b)
      if (e.bin_start_[b] > e.bin_start_[b + 1]) return false;
    for (std::uint32_t t : e.bin_tris_)
      if (t >= e.tris_.size()) return false;
    std::size_t cells = 0;
    if (!grid_cells(e.shape_, cells) || cells != e.field_.size() ||
        !extent_matches(e.shape_, e.extent_) || !lists_fit(e))
      return false;
    return true;
  }
  static std::unique_ptr<EnvironmentDistance> get_environment(Reader& r, std::size_t n_bodies) {
    std::unique_ptr<EnvironmentDistance> e(new EnvironmentDistance());
    e->tris_.resize(r.count(76));
    for (EnvironmentDistance::Tri& t : e->tris_) {
      r.get(t.a.data(), 3);
      r.get(t.b.data(), 3);
      r.get(t.c.data(), 3);
      t.body = r.get<std::uint32_t>();
      if (t.body >= n_bodies) r.fail();
      t.bound();
    }
    e->bvh_.resize(r.count(64));
    for (EnvironmentDistance::BvhNode& n : e->bvh_) {
      r.get(n.lo, 3);
      r.get(n.hi, 3);
      n.begin = r.get<std::uint32_t>();
      n.count = r.get<std::uint32_t>();
      n.left = r.get<std::int32_t>();
      n.right = r.get<std::int32_t>();
      if (std::uint64_t{n.begin} + n.count > e->tris_.size()) r.fail();
    }
    r.get_vector(e->closed_);
    r.get(e->box_lo_, 3);
    r.get(e->box_hi_, 3);
    r.get(e->bin_lo_, 2);
    e->inv_bin_ = r.get<double>();
    r.get(e->bins_, 2);
    r.get_vector(e->bin_start_);
    r.get_vector(e->bin_tris_);
    r.get(e->lo_, 3);
    e->cell_ = r.get<double>();
    e->inv_cell_ = r.get<double>();
    r.get(e->shape_, 3);
    r.get(e->extent_, 3);
    r.get_vector(e->field_);
    e->exact_below_ = r.get<double>();
    e->list_reach_ = r.get<double>();
    r.get(e->bricks_, 3);
    r.get_vector(e->list_start_);
    r.get_vector(e->list_tris_);
    r.get_vector(e->offset_);
    e->closed_offset_ = r.get<double>();
    if (!r.ok() || !environment_consistent(*e, n_bodies)) return nullptr;
    return e;
  }

  // The exact test's candidate lists, when there are any: one start per brick
  // of kBrick^3 field cells and one past the last, kNoList for a brick left
  // to the tree, the others rising through list_tris_, which names
  // triangles.  A brick's list ends at the next start that is not kNoList.
  // Offsets: none, or one per body, finite and not negative, and the closed
  // bodies' largest as the engine computes it.
  static bool offsets_fit(const EnvironmentDistance& e) {
    if (e.offset_.empty()) return e.closed_offset_ == 0.0;
    if (e.offset_.size() != e.closed_.size()) return false;
    double closed = 0.0;
    for (std::size_t b = 0; b < e.offset_.size(); ++b) {
      if (!(e.offset_[b] >= 0.0) || !std::isfinite(e.offset_[b])) return false;
      if (e.closed_[b]) closed = std::max(closed, e.offset_[b]);
    }
    return closed == e.closed_offset_;
  }

  static bool lists_fit(const EnvironmentDistance& e) {
    if (e.list_start_.empty()) return e.list_tris_.empty();
    constexpr std::int64_t brick = EnvironmentDistance::kBrick;
    for (int a = 0; a < 3; ++a)
      if (e.bricks_[a] != (e.shape_[a] + brick - 1) / brick) return false;
    std::size_t n_bricks = 0;
    if (!grid_cells(e.bricks_, n_bricks) || e.list_start_.size() - 1 != n_bricks ||
        e.list_start_.back() != e.list_tris_.size())
      return false;
    std::uint32_t last = 0;
    for (std::uint32_t start : e.list_start_) {
      if (start == EnvironmentDistance::kNoList) continue;
      if (start < last) return false;
      last = start;
    }
    for (std::uint32_t t : e.list_tris_)
      if (t >= e.tris_.size()) return false;
    return true;
  }
};

// The parts written above, member for member: a class that gains a member
// no longer matches its mirror here, and the build stops until the store
// writes and reads that member too (and kFormat changes).
namespace {
struct CoverMirror {
  std::vector<double> points;
  std::vector<CoverNode> nodes;
  double rho;
};
struct ShapeMirror {
  CoverMirror cover;
  double lo[3], box_lo[3], box_hi[3], inv_cell, half_diag, reach;
  std::int64_t shape[3];
  double extent[3], quantum;
  std::vector<std::uint8_t> field;
};
struct TableMirror {
  std::size_t pair, joint;
  double lo[2], inv_delta;
  std::int64_t cells[2];
  std::vector<std::uint8_t> clear;
  double swing[2], room_step;
  std::vector<std::uint8_t> room;
};
struct ModelMirror {
  std::vector<ShapeMirror> shapes;
  LinkPairs checked;
  double tau, skip, e;
  std::vector<TableMirror> tables;
  struct Facts {
    int table;
    bool walked;
    double reach2;
  };
  std::vector<Facts> facts;  // derived on reading
  std::vector<std::array<double, 3>> centres;
};
struct EnvMirror {
  std::vector<std::array<double, 10>> tris;
  std::vector<std::array<double, 8>> bvh;
  std::vector<std::uint8_t> closed;
  double box_lo[3], box_hi[3], bin_lo[2], inv_bin;
  std::int64_t bins[2];
  std::vector<std::uint32_t> bin_start, bin_tris;
  double lo[3], cell, inv_cell;
  std::int64_t shape[3];
  double extent[3];
  std::vector<std::uint16_t> field;
  double exact_below, list_reach;
  std::int64_t bricks[3];
  std::vector<std::uint32_t> list_start, list_tris;
  std::vector<double> offset;
  double closed_offset;
};
struct CoverNodeMirror {
  double centre[3], radius;
  std::uint32_t begin, count;
  std::int32_t left, right;
};
}  // namespace
static_assert(sizeof(SurfaceCover) == sizeof(CoverMirror), "the model store misses a member");
static_assert(sizeof(CoverNode) == sizeof(CoverNodeMirror), "the model store misses a member");
static_assert(sizeof(LinkShape) == sizeof(ShapeMirror), "the model store misses a member");
static_assert(sizeof(SelfCollisionModel::PairTable) == sizeof(TableMirror),
              "the model store misses a member");
static_assert(sizeof(SelfCollisionModel) == sizeof(ModelMirror), "the model store misses a member");
static_assert(sizeof(EnvironmentDistance) == sizeof(EnvMirror), "the model store misses a member");

// ---------------------------------------------------------------------------
// Files.

namespace {

// magic[8], format u32, byte order u32, kind u32, reserved u32, key a, b,
// payload bytes, payload checksum, reserved (u64 each).
struct Header {
  std::uint32_t kind = 0;
  ModelKey key;
  std::uint64_t payload = 0, checksum = 0;
};

void put_header(const Header& h, unsigned char out[kModelHeaderBytes]) {
  std::memset(out, 0, kModelHeaderBytes);
  auto at = [&](std::size_t offset, const auto& v) { std::memcpy(out + offset, &v, sizeof v); };
  std::memcpy(out, kMagic, 8);
  at(8, kFormat);
  at(12, kByteOrder);
  at(16, h.kind);
  at(24, h.key.a);
  at(32, h.key.b);
  at(40, h.payload);
  at(48, h.checksum);
}

// False for a header of another format, kind, key or machine.
bool get_header(const unsigned char in[kModelHeaderBytes], Header& h) {
  auto at = [&](std::size_t offset, auto& v) { std::memcpy(&v, in + offset, sizeof v); };
  std::uint32_t format = 0, order = 0;
  at(8, format);
  at(12, order);
  at(16, h.kind);
  at(24, h.key.a);
  at(32, h.key.b);
  at(40, h.payload);
  at(48, h.checksum);
  return std::memcmp(in, kMagic, 8) == 0 && format == kFormat && order == kByteOrder;
}

// The payload through `sink` behind a blank header, then the header.
template <class Body>
void write_file(ModelKind kind, const ModelKey& key, ModelSink& sink, Body&& body) {
  unsigned char header[kModelHeaderBytes] = {};
  sink.append(header, kModelHeaderBytes);
  Writer w(sink);
  body(w);
  w.flush();
  put_header({static_cast<std::uint32_t>(kind), key, w.bytes(), w.checksum()}, header);
  sink.put_header(header);
}

// Opens `file`, checks its header and hands the payload's reader to `body`;
// true when the header fits, body() succeeds, and the payload was read to
// its last byte with a matching checksum.
template <class Body>
bool read_file(const std::filesystem::path& file, ModelKind kind, const ModelKey& key,
               Body&& body) {
  std::error_code error;
  if (!std::filesystem::is_regular_file(file, error)) return false;
  try {
    std::ifstream in(file, std::ios::binary);
    if (!in) return false;
    unsigned char raw[kModelHeaderBytes];
    Header h;
    if (in.rdbuf()->sgetn(reinterpret_cast<char*>(raw), kModelHeaderBytes) !=
            static_cast<std::streamsize>(kModelHeaderBytes) ||
        !get_header(raw, h) || h.kind != static_cast<std::uint32_t>(kind) || !(h.key == key))
      return false;
    // The payload the header announces is the rest of the file, so that no
    // size read from it can ask for more memory than the file holds.
    const std::uintmax_t size = std::filesystem::file_size(file, error);
    if (error || size < kModelHeaderBytes || size - kModelHeaderBytes != h.payload) return false;
    Reader r(in, h.payload);
    return body(r) && r.finished(h.checksum);
  } catch (const std::ios_base::failure&) {
    return false;  // a read error (the stream library throws one even unasked)
  }
}

}  // namespace

void store_self_collision(const ModelKey& key, const SelfCollisionModel& model,
                          const LinkPairs& allowed, ModelSink& sink) {
  write_file(ModelKind::SelfCollision, key, sink, [&](Writer& w) {
    ModelStore::put(w, model);
    ModelStore::put_pairs(w, allowed);
  });
}

void store_clearance(const ModelKey& key, const EnvironmentDistance& env,
                     const std::vector<const SurfaceCover*>& covers,
                     const std::vector<const SurfaceCover*>& screen, ModelSink& sink) {
  write_file(ModelKind::Clearance, key, sink, [&](Writer& w) {
    ModelStore::put(w, env);
    for (const auto* set : {&covers, &screen}) {
      w.put(static_cast<std::uint64_t>(set->size()));
      for (const SurfaceCover* c : *set) ModelStore::put(w, *c);
    }
  });
}

bool load_self_collision(const std::filesystem::path& file, const ModelKey& key,
                         std::size_t n_joints, SelfCollisionParts& out) {
  SelfCollisionParts parts;
  const bool ok = read_file(file, ModelKind::SelfCollision, key, [&](Reader& r) {
    parts.model = ModelStore::get_self_collision(r, n_joints);
    return parts.model && ModelStore::get_pairs(r, parts.allowed, n_joints + 1);
  });
  out = ok ? std::move(parts) : SelfCollisionParts{};
  return ok;
}

bool load_clearance(const std::filesystem::path& file, const ModelKey& key, std::size_t n_joints,
                    std::size_t n_bodies, ClearanceParts& out) {
  ClearanceParts parts;
  const bool ok = read_file(file, ModelKind::Clearance, key, [&](Reader& r) {
    parts.env = ModelStore::get_environment(r, n_bodies);
    if (!parts.env) return false;
    for (auto* set : {&parts.covers, &parts.screen}) {
      if (r.count(1) != n_joints) return false;
      set->resize(n_joints);
      for (SurfaceCover& c : *set)
        if (!ModelStore::get(r, c)) return false;
    }
    return true;
  });
  out = ok ? std::move(parts) : ClearanceParts{};
  return ok;
}

}  // namespace gristane
