// What Python's help() says about Pelmora's names: the module, the class and
// its attributes, the queries and the command.  Kept apart from the binding
// code (as generated docstring headers are), so the binding file reads as
// the names, their arguments and what they call.
#pragma once

namespace pelmora::doc {

inline constexpr const char* Pelmora =
    "The meshes of one capture cache in a collision manager, ready to be posed and tested for "
    "any joint vector.";
inline constexpr const char* init =
    "Load the capture in cache_dir. With ignore_adjacent_links, consecutive links (which touch "
    "at their joint) are never reported as colliding.  allowed_pairs names further pairs that "
    "queries leave out: None (none), \"base\" (whatever the fixed base touches in the "
    "environment at the zero joint vector, which it touches in every configuration), \"fixed\" "
    "(that, and the environment bodies that touch each other, such as a table on a floor: "
    "contacts between bodies that never move relative to each other), or a list of pairs in "
    "the result's own form, ((\"env\", \"pedestal\"), (\"link\", \"link_base\")), that may "
    "hold \"base\" or \"fixed\" too.  Links touching each other or the environment at zero are "
    "not part of \"base\": zero may lie outside the limits.";
inline constexpr const char* link_names = "Link names in chain order; entry 0 is the fixed base.";
inline constexpr const char* home_transforms = "World pose of each link at the zero joint vector.";
inline constexpr const char* env_names = "Names of the environment objects.";
inline constexpr const char* slist =
    "The captured (6, n) screw list with its linear rows in metres, in the base link's frame.";
inline constexpr const char* joint_limits = "The captured (n, 2) joint limits.";
inline constexpr const char* manager = "The collision manager holding every mesh.";
inline constexpr const char* adjacent_pairs = "Unordered link pairs that queries ignore.";
inline constexpr const char* allowed_pairs =
    "The set of pairs, in result form, that queries leave out besides consecutive links.";
inline constexpr const char* base_contacts =
    "The base's contacts with the environment at the zero joint vector (what \"base\" allows).";
inline constexpr const char* fixed_contacts =
    "The base's contacts and the environment bodies' contacts among themselves (what \"fixed\" "
    "allows).";
inline constexpr const char* distance_objects =
    "The python-fcl objects of the distance queries, built at the first one (None before).";
inline constexpr const char* forward_kinematics =
    "World pose of every link for a joint vector, as a dict from link name to 4x4 transform "
    "(the base first).";
inline constexpr const char* query =
    "Pose the arm at theta and return the CollisionResult of every pair of meshes in contact "
    "(link-link and link-environment).  allowed_pairs (same forms as the constructor's) leaves "
    "out further pairs for this call only.";
inline constexpr const char* query_trajectory =
    "Query every row of an (N, n_joints) trajectory, given as an array or as the path of a "
    ".npy file or of a cache directory (its JointAnglesToTravelAlong.npy). Returns a list of "
    "(row index, CollisionResult) for the rows in collision; an empty list means the whole "
    "trajectory is clean.  allowed_pairs (same forms as the constructor's) leaves out further "
    "pairs for this call only.";
inline constexpr const char* distances =
    "Pose the arm at theta and return, for every pair of an environment body and a moving link "
    "(the fixed base is left out), the exact smallest distance in metres between their meshes "
    "(python-fcl's distance query; 0.0 when they touch), as a dict keyed by pairs in the "
    "result's form, ((\"env\", name), (\"link\", name)).  Allowed pairs (the object's and "
    "allowed_pairs, same forms as the constructor's) are left out.";
inline constexpr const char* distance_trajectory =
    "The smallest value of distances() for every row of an (N, n_joints) trajectory (an array, "
    "a .npy path or a cache directory, as query_trajectory takes), as a float64 array (N,); "
    "inf for a row without any pair (no environment).";
inline constexpr const char* module =
    "Exact mesh collision of a captured arm with itself and with its environment, through "
    "trimesh's collision manager (FCL).";
inline constexpr const char* load_mesh =
    "A trimesh.Trimesh from a mesh archive's V and F arrays, unprocessed.";
inline constexpr const char* main =
    "Print the collision pairs for the joint angles given as arguments (all zeros when none "
    "are given), on the default cache (or --cache-dir DIR).  --allow-base-contacts, "
    "--allow-fixed-contacts and --allow A,B leave pairs out as the constructor's allowed_pairs "
    "does; --distance also prints the smallest distance between the arm and the environment; "
    "--trajectory [FILE] checks every row of a trajectory (default: the cache's) and returns 1 "
    "when any row collides; --help prints the usage.";

}  // namespace pelmora::doc
