// What Sallowmere's handler and its members say of themselves (their
// docstrings), kept apart from the bindings so that the binding file reads as
// the list of what it binds.  Plain text, no Python.
#pragma once

namespace sallowmere::doc {

inline constexpr const char* kHandler =
    "One arm in one captured scene: loads the capture cache, voxelizes links and "
    "environment once, and answers link poses and collision checks per joint vector.";

inline constexpr const char* kInit =
    "Load the cache directory, write LinkMeshes.npz and env_meshes.npz into it, "
    "voxelize at pitch 0.01 m with a 5 m pad, and read the home transforms.";

inline constexpr const char* kCache = "The cache directory given to the constructor.";

inline constexpr const char* kLinkmesh =
    "Link meshes: 'V_<i>' (float64 (n, 3)) and 'F_<i>' (int64 (m, 3)), link frame.";

inline constexpr const char* kEnvmesh =
    "Environment meshes: 'V_<k>' and 'F_<k>' for the k-th body, world frame.";

inline constexpr const char* kLinkPoints =
    "One float64 (k, 3) point set per link, link-index order, base first.";

inline constexpr const char* kEnvGrid = "Environment occupancy grid (3-D bool).";

inline constexpr const char* kEnvOrigin = "World position of the grid's lower corner.";

inline constexpr const char* kInitialTransforms =
    "Home transform of every link, float64 (n_links, 4, 4).";

inline constexpr const char* kScrewAxis = "Path of ScrewAxis.npy in the cache.";

inline constexpr const char* kInitializeEnvironment =
    "Load the link and environment meshes named in meta.json and rewrite "
    "LinkMeshes.npz and env_meshes.npz; returns (link_payload, env_payload).";

inline constexpr const char* kEnvironmentVoxelizer =
    "Voxelize every link and build the environment grid; returns "
    "(link_points, env_grid, env_origin, pitch).";

inline constexpr const char* kAquireTransformsFromMeta =
    "Home transforms from meta.json in link-index order, float64 (n_links, 4, 4).";

inline constexpr const char* kAcquireTransformsGivenq =
    "World transform of every link for a joint vector, float64 (n_links, 4, 4); the "
    "screw list is read from ScrewAxis.npy on every call.";

inline constexpr const char* kRunCollisionCheckGivenq =
    "True when links 1..n touch the environment; prints 'colliding link indices: [...]'.";

inline constexpr const char* kModule =
    "Capture-cache reader and RobotEnvironmentHandler: link poses and voxel "
    "collision checks of one arm in one captured scene.";

inline constexpr const char* kPitch = "Cell edge and link voxel edge in metres.";

}  // namespace sallowmere::doc
