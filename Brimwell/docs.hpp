// What Brimwell's functions, classes and properties say of themselves (their
// docstrings, and _Node's few lines of Python source), kept apart from the
// bindings so that a binding file reads as the list of what it binds, with
// each name's arguments and defaults.  Plain text.
#pragma once

namespace brimwell::doc {

inline constexpr const char* kInLimits =
    "True when every joint value lies within its limits (both bounds inclusive).";

inline constexpr const char* kIsValid =
    "True when q is inside the limits and no point of a moving link lies in an occupied "
    "cell of the environment grid (with a clearance: every moving link is proven farther "
    "than it from the environment).  Outside the limits no kinematics is evaluated.";

inline constexpr const char* kEdgeValid =
    "True when every configuration a + (b - a) * i / n, i = 1 .. n, n = max(1, ceil(|b - a| "
    "/ res)), is valid: the end b is tested, the start a is not.  Raises ValueError for a "
    "non-finite length or more than a million steps.\n\nWith a clearance, `res` plays no "
    "part: the edge is valid only when both ends are inside the limits and every "
    "configuration on it, not only samples, is proven valid (bisection under a bound of how "
    "far each link can move); an edge that cannot be proven within 16384 pieces is not "
    "valid.  The answer is the same for (a, b) and (b, a).";

inline constexpr const char* kSample =
    "One uniform joint vector within the limits: rng.uniform(lower, upper).";

inline constexpr const char* kLazyProof =
    "Whether planners prove only the path they keep (see the constructor).";

inline constexpr const char* kClearance =
    "The clearance in metres that is_valid and edge_valid prove (a dict of them per body "
    "when one was given), or None (the voxel test).";

inline constexpr const char* kSelfCollision =
    "Whether is_valid also tests the links against each other.";

inline constexpr const char* kAllowedPairs =
    "Link pairs (i, j), i < j, never tested against each other: the neighbours in "
    "the chain, and the pairs found touching in every one of many random in-limit "
    "configurations.  Empty without self-collision.";

inline constexpr const char* kHandler =
    "The RobotEnvironmentHandler built from the cache directory.";

inline constexpr const char* kSlist =
    "World-frame screw list (6, n), linear rows in metres (read-only).";

inline constexpr const char* kHomeTransforms =
    "Home poses (n, 4, 4) of the moving links 1 .. n (read-only).";

inline constexpr const char* kLimits =
    "Joint limits (n, 2): lower, upper; never infinite after the +-2 pi rule (read-only).";

inline constexpr const char* kPlanningContext =
    "The planner's view of one arm in its workcell, built from a capture cache: joint "
    "limits (an unbounded side becomes +-2 pi), world-frame screws, home poses of the "
    "moving links, and the voxel model of the environment handler it owns.  It answers "
    "whether a joint vector is inside the limits, whether it is valid (inside the limits "
    "and free of the environment), whether the straight joint-space edge between two "
    "vectors is valid, and draws uniform joint vectors.";

inline constexpr const char* kPlanningContextInit =
    "Build the environment handler for `cache_dir` and the planning model.  With "
    "self_collision, is_valid also rejects configurations in which two links not in "
    "allowed_pairs come within about a centimetre of each other (never when they are 2 cm "
    "or more apart); the model is built once, from the handler's link meshes.\n\n"
    "clearance: None (the voxel grid decides), or metres (finite, >= 0): is_valid is then "
    "true only when every moving link is proven farther than `clearance` from every "
    "environment body by the exact meshes (a distance field over the obstacles and spheres "
    "over the links' surfaces, exact point-triangle tests where the field is not enough), "
    "and edge_valid proves the whole straight edge free instead of testing samples of it.  "
    "A dict gives metres per environment body, as meta.json names the bodies, with "
    "\"default\" for the bodies it does not name: {\"default\": 0.01, \"pedestal\": 0.0} "
    "keeps 1 cm from everything but the pedestal, which may come as close as it likes "
    "without touching (0 leaves a body out of the clearance, never out of the contact test)."
    "\n\nlazy_proof (with a clearance): the RRT-Connect planners (plan_segment_connect, "
    "the driver's 'connect' and 'auto' routes) search and shorten with screened edges "
    "(sampled about 1/32 rad apart against the distance field: fast, no proof), then prove "
    "every edge of the path they keep with the exact engine, ends included; an edge that "
    "fails is split or its stretch re-planned with proven edges, and after a few such "
    "repairs the segment is planned with proven edges throughout.  Only proven edges are "
    "returned: the guarantee is the same, the search much faster.\n\n"
    "The self-collision model and the clearance's distance field and covers are kept in "
    "the cache directory (.models/) and read back by later contexts while the meshes, "
    "limits and settings they were built from are unchanged (the same answers, bit for "
    "bit); a cache that cannot be written keeps them in memory only.  "
    "Raises ValueError for a clearance that is negative, NaN, infinite or not a number, "
    "a dict that names a body the cache does not list or leaves a body without a "
    "\"default\", and for lazy_proof without a clearance.";

inline constexpr const char* kPlanSegment =
    "RRT* from start to goal over straight joint-space edges checked by ctx.  Returns the "
    "list of configurations from start to goal (exactly [start, goal] when that edge is "
    "valid, without drawing from rng).  Raises RuntimeError when no tree node reaches the "
    "goal within max_iters iterations.  Reads RRT_STAR_GAMMA and GOAL_CONNECT_RADIUS from "
    "the module at each call.";

inline constexpr const char* kSmoothPath =
    "Random shortcutting: up to `iters` attempts, each drawing two indices with "
    "rng.integers(0, len(path), size=2) and dropping the entries between them when the "
    "straight edge is valid.  Returns a new list of the input's own entries.";

inline constexpr const char* kDensify =
    "Resample a path so consecutive configurations are at most `res` apart: an (N, d) "
    "float64 array starting at the first entry.  Raises IndexError for an empty path and "
    "ValueError for non-finite or runaway lengths.";

inline constexpr const char* kTimeIsValid =
    "Benchmark aid: run the native validity check on every row of qs and return "
    "(nanoseconds per call as int64, results as bool), timed inside native code.";

inline constexpr const char* kSelfAnswers =
    "Test aid: per row of qs, the self-collision answer (True: links too close) with the "
    "pair tables and with every pair walked, as two bool arrays.";

inline constexpr const char* kModule =
    "RRT* joint-space planning through the waypoints of a capture cache: the planning "
    "context, the segment planner, shortcut smoothing, densification and the trajectory "
    "driver.";

inline constexpr const char* kProvideRRTPlan =
    "Plan through every waypoint of the cache: validate the waypoints, plan one segment "
    "per consecutive pair, densify at EDGE_RES, re-check every configuration and save "
    "JointAnglesToTravelAlong.npy into the cache.  Returns the trajectory.\n\n"
    "planner: 'rrtstar' (RRT*, each segment then smoothed), 'connect' (plan_segment_connect "
    "for every segment) or 'auto' (RRT* first, plan_segment_connect for a segment RRT* "
    "cannot plan; the segment line names the planner).  seed: the generator's seed "
    "(default the module's SEED, read at each call).  self_collision: the context also "
    "rejects configurations in which two links that may not touch overlap.  clearance: "
    "metres (finite, >= 0) that every configuration and every motion of the plan is proven "
    "to keep from the environment, or a dict of them per body with \"default\" for the "
    "others (PlanningContext's clearance); a waypoint closer than that is refused with a line "
    "naming the link, the obstacle and the distance.  max_iters: "
    "iterations of each planner's first attempt at a segment (default MAX_ITERS).  "
    "time_limit: seconds per segment; under 'auto' and 'connect' a failed RRT-Connect is "
    "tried again with RETRY_GROWTH times the iterations, drawing on from the same "
    "generator, until the limit (default AUTO_TIME_LIMIT under 'auto', none otherwise: "
    "no retries).  A segment stored in the cache's LinearSegments.npz (a straight tool "
    "move, keyed 'i->i+1') is taken as given: every edge is checked, nothing planned.  jobs: "
    "segment i draws from numpy.random.default_rng(SeedSequence(seed).spawn(K - 1)[i]) "
    "instead of one generator for the run, so the plan is the same for any jobs; under "
    "'connect' with a native context the segments are planned on `jobs` threads.  "
    "lazy_proof (with a clearance): each segment is searched and shortened on sampled "
    "edges, then every edge of its path is proven (PlanningContext's lazy_proof).  Raises "
    "ValueError for an unknown planner, a seed that is not a non-negative integer, a bad "
    "clearance or lazy_proof without one, RuntimeError when a segment cannot be planned (after "
    "a line naming it).";

inline constexpr const char* kSaveCollidingWaypoint =
    "Report a waypoint in collision and store it as CollisionWaypoint.npz (index, theta) in "
    "the cache for the collision viewer.";

inline constexpr const char* kMain =
    "Command line: Brimwell [--cache-dir DIR] [--planner {rrtstar,connect,auto}] [--seed N] "
    "[--self-collision] [--clearance METRES [--clearance-for BODY=METRES ...] [--lazy-proof]] "
    "[--max-iters N] [--time-limit "
    "SECONDS] [--jobs N] "
    "[--timed [--max-velocity V[,V...]] "
    "[--max-acceleration A[,A...]] [--joint-names]]; "
    "plans on the default cache directory with RRT* when no option is given (see "
    "ProvideRRTPlan).  --timed also times the trajectory (time_parameterize, every sample "
    "checked) into TimedTrajectory.npz and TimedTrajectory.csv (its columns named after the "
    "cache's JointNames.json with --joint-names), with the plan's own context; "
    "the timed files of an earlier run are removed first, and a timing that fails ends "
    "with one line on stderr and exit status 1.";

inline constexpr const char* kTimeParameterize =
    "Time a joint path (N, n) under per-joint velocity and acceleration limits (each one "
    "value for all joints or one per joint, positive and finite).  Returns (t, q, qd, qdd) "
    "sampled every dt seconds from t = 0: at rest on the path's first row at the start and "
    "on its last row at the end.  The motion keeps to the path's straight pieces: it comes "
    "to rest at every corner and travels each piece in minimum time (a trapezoid of "
    "velocity, from ruckig), so it never leaves the edges the planner checked.  When the "
    "motion ends between two samples the last sample rests on the last row.  With a "
    "planning context `ctx`, every sample is tested with ctx.is_valid and a RuntimeError "
    "names the ones that fail.  Raises ValueError for an empty path and for zero, negative, "
    "non-finite or wrongly counted limits.";

inline constexpr const char* kPlanSegments =
    "Plan a batch of independent problems, starts[i] to goals[i], as plan_segment_connect "
    "does (RRT-Connect, shortened), on `jobs` threads (default: one per core).  Problem i "
    "draws from numpy.random.default_rng(numpy.random.SeedSequence(seed).spawn(len(starts))[i]), "
    "so the answer is the same for every number of threads.  Only a native PlanningContext "
    "with none of its methods replaced is planned on several threads, without the "
    "interpreter lock; any other context is planned one problem after the other.  Returns "
    "one path per problem; raises RuntimeError naming the first problem that cannot be planned.";

inline constexpr const char* kPlanSegmentConnect =
    "Bidirectional RRT-Connect from start to goal over straight joint-space edges checked "
    "by ctx, with the path already shortened (greedy and random shortcuts drawn from rng, "
    "then every entry whose neighbours are joined by a valid edge dropped).  Returns the "
    "list of configurations: a copy of start first, goal last, every consecutive pair "
    "passing ctx.edge_valid.  A valid direct edge gives [start, goal] without drawing from "
    "rng.  Raises RuntimeError when the trees do not meet within max_iters extensions.";

inline constexpr const char* kNJoints = "Number of joints n.";

// _Node, defined in Python's own terms (a slotted class with its docstring).
inline constexpr char kNodeClass[] = R"py(
class _Node:
    """One RRT* tree node: the index of its parent in the node list (None for
    the root) and the cost of the path from the root along parent links, as
    last set.  The node's configuration is the matching row of the planner's
    configuration array."""

    __slots__ = ("parent", "cost")

    def __init__(self, parent: int | None, cost: float):
        self.parent = parent
        self.cost = cost

    def __repr__(self):
        return f"_Node(parent={self.parent!r}, cost={self.cost!r})"
)py";

}  // namespace brimwell::doc
