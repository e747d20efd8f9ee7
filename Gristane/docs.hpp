// What Python's help() says about Gristane's names.  Kept apart from the binding
// code (as generated docstring headers are), so the binding file reads as the
// names, their arguments and what they call.
#pragma once

namespace gristane::doc {

inline constexpr const char* VoxelizeLink =
    "Centres of the voxels, at the given pitch, that cover a triangle mesh and fill its "
    "interior, in the mesh's own frame: float64 (k, 3).  The mesh is taken exactly as given "
    "(no merging or repair).";
inline constexpr const char* build_env_grid =
    "Occupancy grid of the environment meshes (objects with vertices, faces and bounds): "
    "returns (grid, lo, pitch) with grid a 3-D bool array whose cell (i, j, k) spans lo + "
    "pitch * [i, i+1) x [j, j+1) x [k, k+1).  Without bounds the grid covers the union of the "
    "meshes' bounding boxes plus `pad` metres on every side; with bounds (lo, hi) it covers "
    "exactly that box and voxels outside it are dropped.";
inline constexpr const char* in_collision =
    "True when a point of some link, posed by its world transform, lies in an occupied cell.  "
    "Links and transforms are paired by position up to the shorter sequence; points outside "
    "the grid (including non-finite ones) never collide.";
inline constexpr const char* colliding_links =
    "Positions, ascending, of every link that has a point in an occupied cell (same pairing "
    "and cell rule as in_collision).";
inline constexpr const char* save_cache =
    "Store link point sets and the environment grid (bit-packed) in one compressed .npz "
    "archive; '.npz' is appended to a path that lacks it.";
inline constexpr const char* load_cache =
    "Read an archive written by save_cache: (link_points, grid, env_origin, pitch).";
inline constexpr const char* EnvironmentDistance =
    "How far points are from the environment's solids: a mesh whose every edge belongs to "
    "exactly two faces is solid (distance 0 inside), any other is its surface alone.  "
    "lower_bound reads a distance field (cells of `cell` metres over the meshes' box padded by "
    "`pad`, values rounded down to 0.1 mm): never more than the true distance, and 0 or less "
    "wherever it proves nothing.  distance is exact (point-triangle distances and the parity "
    "of a ray's crossings).  The planner's clearance test is built on it.";
inline constexpr const char* environment_distance_init =
    "meshes: (vertices, faces) pairs, or objects with vertices and faces, in world "
    "coordinates.  offsets: metres added to each mesh's distance (finite, >= 0); the field "
    "then bounds min over meshes of (distance + offset), which is how a clearance per body is "
    "proven.";
inline constexpr const char* lower_bound =
    "A proven lower bound of each point's distance, float64 (k,).";
inline constexpr const char* distance =
    "The exact distance of each point to the solids, float64 (k,); inf without meshes.";
inline constexpr const char* cover_walks =
    "For tests: a link cover's walks, binary and wide, at each pose.";
inline constexpr const char* cell = "The field's cell edge in metres.";
inline constexpr const char* shape = "Cells of the field along x, y, z.";
inline constexpr const char* origin =
    "The field's lowest corner; cell (i, j, k) spans origin + cell * [i, i+1) x ...";
inline constexpr const char* closed = "Per mesh, whether it is solid.";
inline constexpr const char* module =
    "Voxel collision model: link point sets, the environment occupancy grid, collision tests "
    "of posed links against it, and a voxel cache file.";
inline constexpr const char* xxh64 = "XXH64 of `data` (bytes) with `seed`.";

}  // namespace gristane::doc
