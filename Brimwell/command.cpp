#include "Brimwell/command.hpp"

#include "Brimwell/tuning.hpp"
#include "common/text.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <system_error>

namespace brimwell {

namespace {

using cellpath::cli::Argument;
using cellpath::cli::Default;
using cellpath::cli::Type;

Argument number(const char* flag, const char* metavar, Type type, const char* help) {
  return {
      .flag = flag, .help = help, .metavar = metavar, .type = type, .default_value = Default::none};
}

Argument with(const char* flag, const char* help) {
  return {.flag = flag, .help = help, .action = "store_true"};
}

// The planning options, in --help's order; two of them name a tuning default
// in their help.
std::vector<Argument> planning_options() {
  static const std::string max_iters_help =
      "iterations of each planner's first attempt at a segment (default " +
      std::to_string(tuning::kMaxIters) + ")";
  static const std::string time_limit_help = [] {
    char limit[32];
    std::snprintf(limit, sizeof limit, "%g", tuning::kAutoTimeLimit);
    return "per segment: retry a failed RRT-Connect with larger budgets until this much time "
           "has passed (auto: " +
           std::string(limit) + " s unless given)";
  }();
  return {
      number("--seed", "N", Type::integer,
             "seed of the random generator (default: the module's SEED)"),
      with("--self-collision",
           "also reject configurations in which two links that may not touch overlap"),
      number("--clearance", "METRES", Type::real,
             "prove every configuration and every motion of the plan at least this far from "
             "the environment (exact meshes)"),
      with("--lazy-proof",
           "with --clearance: search on sampled edges and prove only the path kept (much "
           "faster; the same guarantee)"),
      number("--max-iters", "N", Type::integer, max_iters_help.c_str()),
      number("--time-limit", "SECONDS", Type::real, time_limit_help.c_str()),
      number("--jobs", "N", Type::integer,
             "plan the segments on N threads, each segment drawing from a generator of its own "
             "derived from the seed (the same plan for every N)"),
      with("--strict",
           "without --clearance: fail (exit status 1, the earlier trajectory kept) when the "
           "exact meshes find the plan touching an obstacle"),
  };
}

std::vector<Argument> timing_options() {
  return {
      with("--timed",
           "also time the trajectory (at rest at every corner, each straight piece in minimum "
           "time) and save it as TimedTrajectory.npz and TimedTrajectory.csv in the cache"),
      number("--max-velocity", "V[,V...]", Type::none,
             "with --timed: joint velocity limits in rad/s, one for all joints or one per "
             "joint (default: the cache's JointVelocityLimits.npy)"),
      number("--max-acceleration", "A[,A...]", Type::none,
             "with --timed (required): joint acceleration limits in rad/s^2, one for all "
             "joints or one per joint"),
      with("--joint-names",
           "with --timed: head the CSV's columns with the cache's joint names "
           "(JointNames.json: NAME..., NAME.velocity...) instead of q1..qn, qd1..qdn"),
  };
}

std::string joined(const std::vector<std::string>& names) {
  std::string out;
  for (const std::string& s : names) out += (out.empty() ? "" : ", ") + s;
  return out;
}

// The first part of a limit option that is no number, or not positive and finite.
std::string limits_refusal(const char* option, const std::optional<std::string>& text,
                           const LimitParts& parts) {
  for (const std::optional<double>& v : parts) {
    if (!v)
      return std::string(option) + ": '" + *text +
             "' is not one number or a comma-separated list of numbers";
    if (!(std::isfinite(*v) && *v > 0.0))
      return std::string(option) + ": every limit must be positive and finite, got '" + *text + "'";
  }
  return "";
}

}  // namespace

cellpath::cli::Parser planner_command_line() {
  cellpath::cli::Parser c{
      .prog = "Brimwell",
      .description =
          "Plan a collision-free joint trajectory through the waypoints of the "
          "capture cache beside the module (or the directory named by "
          "CELLPATH_CACHE_DIR, or --cache-dir) and save it there as "
          "JointAnglesToTravelAlong.npy.",
      .arguments = {
          {.flag = "--cache-dir",
           .help = "the capture cache to plan on",
           .metavar = "DIR",
           .default_value = Default::none},
          {.flag = "--planner",
           .help = "rrtstar (default); connect: RRT-Connect for every segment; auto: RRT* "
                   "first, RRT-Connect for a segment RRT* cannot plan",
           .default_value = Default::text,
           .default_text = "rrtstar",
           .choices = {"rrtstar", "connect", "auto"}},
      }};
  for (const Argument& a : planning_options()) c.arguments.push_back(a);
  c.arguments.push_back(
      {.flag = "--clearance-for",
       .help = "with --clearance: keep the environment body BODY (as meta.json names it) "
               "METRES away instead (0: out of the clearance, contact still forbidden); "
               "repeatable",
       .action = "append",
       .metavar = "BODY=METRES",
       .default_value = Default::none});
  for (const Argument& a : timing_options()) c.arguments.push_back(a);
  return c;
}

std::string body_clearances_refusal(std::optional<double> clearance,
                                    const std::vector<std::string>& entries,
                                    const std::function<double(const std::string&)>& metres_of,
                                    BodyClearances& out) {
  const std::string prefix = "argument --clearance-for: ";
  if (!clearance)
    return prefix +
           "needs --clearance METRES, the clearance of the bodies it does not name (say "
           "--clearance 0.01 --clearance-for pedestal=0)";
  out = {{"default", *clearance}};
  for (const std::string& text : entries) {
    const std::size_t eq = text.rfind('=');
    if (eq == std::string::npos || eq == 0)
      return prefix + "expected BODY=METRES, got '" + text + "'";
    const double metres = metres_of(text.substr(eq + 1));
    if (!(metres >= 0.0) || !std::isfinite(metres))
      return prefix + "'" + text + "': METRES must be a finite number of metres, not negative";
    const std::string body = text.substr(0, eq);
    auto same = [&](const auto& entry) { return entry.first == body; };
    if (auto it = std::find_if(out.begin(), out.end(), same); it != out.end())
      it->second = metres;
    else
      out.emplace_back(body, metres);
  }
  return "";
}

std::string unknown_body_refusal(const BodyClearances& given, const std::vector<std::string>& names,
                                 const std::string& cache_text) {
  for (const auto& [name, metres] : given) {
    if (name == "default" || std::find(names.begin(), names.end(), name) != names.end()) continue;
    return "argument --clearance-for: " + cache_text + " lists no environment body named '" + name +
           "' (" + (names.empty() ? std::string("it lists none") : "its bodies: " + joined(names)) +
           ")";
  }
  return "";
}

std::string timing_refusal(const TimingText& text, const LimitParts& acceleration,
                           const LimitParts& velocity, bool velocity_file) {
  if (!text.timed) {
    if (text.max_velocity || text.max_acceleration)
      return "--max-velocity and --max-acceleration need --timed";
    if (text.joint_names)
      return "argument --joint-names: names the timed CSV's columns: needs --timed";
    return "";
  }
  if (!text.max_acceleration)
    return "--timed needs --max-acceleration A[,A...]: the joints' acceleration limits in "
           "rad/s^2, one value for all joints or one per joint";
  std::string refused = limits_refusal("--max-acceleration", text.max_acceleration, acceleration);
  if (!refused.empty()) return refused;
  if (!text.max_velocity)
    return velocity_file ? ""
                         : "--timed needs --max-velocity V[,V...] (rad/s, one value for all joints "
                           "or one per joint): the cache holds no JointVelocityLimits.npy";
  return limits_refusal("--max-velocity", text.max_velocity, velocity);
}

std::string limit_count_refusal(const char* option, std::size_t given, std::size_t n) {
  if (given == 1 || given == n) return "";
  return std::string(option) + " gives " + std::to_string(given) + " limits, but the arm has " +
         std::to_string(n) + " joints: give one value for all joints or one per joint";
}

std::string timing_options_refusal(
    TimingOptions& o, const LimitParts& acceleration, const LimitParts& velocity,
    const std::filesystem::path& cache,
    const std::function<std::optional<std::size_t>()>& cache_joints) {
  const TimingText& text = o.text;
  std::error_code unreadable;
  const bool velocity_file =
      !text.max_velocity && text.max_acceleration &&
      std::filesystem::is_regular_file(cache / "JointVelocityLimits.npy", unreadable);
  std::string refused = timing_refusal(text, acceleration, velocity, velocity_file);
  if (!refused.empty()) return refused;
  auto numbers = [](const LimitParts& parts) {
    std::vector<double> out;
    for (const std::optional<double>& v : parts) out.push_back(*v);
    return out;
  };
  o.acceleration_limits = numbers(acceleration);
  o.velocity_limits = numbers(velocity);
  // A list of limits that does not fit the arm is refused now, not after a whole plan.
  const std::optional<std::size_t> n = cache_joints();
  if (!n) return "";
  refused = limit_count_refusal("--max-acceleration", o.acceleration_limits.size(), *n);
  if (refused.empty() && text.max_velocity)
    refused = limit_count_refusal("--max-velocity", o.velocity_limits.size(), *n);
  return refused;
}

std::string lazy_proof_refusal(bool lazy_proof, bool clearance) {
  if (!lazy_proof || clearance) return "";
  return "argument --lazy-proof: needs --clearance METRES (it proves a clearance)";
}

std::string strict_refusal(bool strict, bool clearance) {
  if (!strict || !clearance) return "";
  return "--strict checks a plan made without --clearance; with it every motion is proven "
         "already: leave one out";
}

}  // namespace brimwell
