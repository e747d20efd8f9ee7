// What Tovik's functions say of themselves (their docstrings), kept apart
// from the bindings so that the binding file reads as the list of what it
// binds.  Plain text, no Python.
#pragma once

namespace tovik::doc {

inline constexpr const char* kModule =
    "Product-of-exponentials kinematics: skew matrices, adjoints, the SE(3) "
    "exponential of a screw and the world pose of every joint-driven link.";

inline constexpr const char* kAdjoint =
    "The 6x6 adjoint of a 4x4 transform, acting on (omega, v) twists: it carries a "
    "twist from the frame of T into the frame T is expressed in.";

inline constexpr const char* kExpSe3 =
    "The 4x4 transform exp([screw] * theta) for a screw (omega, v) with unit omega, "
    "or omega = 0 for a pure translation by theta * v.";

inline constexpr const char* kForwardKinematics =
    "World pose of each of the n joint-driven links: entry i is "
    "exp([S_0] t_0) ... exp([S_i] t_i) @ home_transforms[i], for a (6, n) space-frame "
    "screw list.  Extra trailing joint values and home transforms are ignored.";

inline constexpr const char* kSolveToolPose =
    "Inverse kinematics of a tool pose from each row of seeds (k, n): damped least squares "
    "on the product of exponentials, each update at most 0.3 long, revolute joints kept in "
    "`limits` (n, 2) by whole turns, others clamped.  slist: (6, n) world screws in metres; "
    "home: the tool's (4, 4) pose at zero; target: the (4, 4) world pose wanted.  Returns "
    "(solutions (k, n), position errors (k,) in metres, rotation errors (k,) in radians, "
    "converged (k,) bool: within `tolerance` (metres, radians) and the limits).  With "
    "`near`, each converged revolute joint is moved by whole turns to the value within "
    "its limits nearest near's.  `tolerance` may also be (metres, rx, ry, rz): the rotation "
    "left about each of the tool's own axes held to its own bound.  free_axis 'x', 'y' or "
    "'z': only that tool axis is aimed (within the rotation tolerance); the turn about it "
    "is left free, and the rotation errors are the angles between the axes.  The target "
    "must be rigid; max_iters is at most 100000.";

inline constexpr const char* kStraightMove =
    "The joint path of a straight tool move from the tool's pose at `start` to `target`: "
    "position along the line, orientation by slerp, solved step by step from start, no "
    "joint changing more than max_joint_step between rows, and the tool at most "
    "max_deviation metres off the line where the straight joint-space edges between rows "
    "are probed.  Returns (rows (m, n), start first; the largest distance from the line "
    "measured; the largest angle from the slerp measured).  Raises RuntimeError where the "
    "line cannot be followed (a singularity, a limit, or a jump of the arm).";

inline constexpr const char* kSkew = "The 3x3 matrix [w] with [w] @ b == cross(w, b).";

}  // namespace tovik::doc
