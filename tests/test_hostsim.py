"""The stand-in CAD host (hostsim/adsk) and the bundled sample workcell."""
import copy
import math
import pathlib
import sys

import numpy as np
import pytest
import trimesh

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "hostsim"))

import adsk  # noqa: E402
import adsk.core  # noqa: E402
import adsk.fusion  # noqa: E402
import workcell  # noqa: E402

F = adsk.fusion
LOW = F.TriangleMeshQualityOptions.LowQualityTriangleMesh


@pytest.fixture
def app():
    return workcell.reset_application()


@pytest.fixture
def sample(app):
    return workcell.load_into_application()


def mat(occ):
    return np.array(occ.transform2.asArray()).reshape(4, 4)


def rot(axis, angle):
    """4x4 turn by ``angle`` about unit ``axis`` through the origin."""
    a = np.asarray(axis, float) / np.linalg.norm(axis)
    k = np.array([[0, -a[2], a[1]], [a[2], 0, -a[0]], [-a[1], a[0], 0]])
    m = np.eye(4)
    m[:3, :3] = np.eye(3) + math.sin(angle) * k + (1 - math.cos(angle)) * k @ k
    return m


def shift(p):
    m = np.eye(4)
    m[:3, 3] = p
    return m


def about(point, axis, angle):
    """Turn about the line through ``point`` along ``axis``."""
    return shift(point) @ rot(axis, angle) @ shift(-np.asarray(point, float))


def xyz(v):
    return np.array(v.asArray())


# A small chain exercising every joint kind and a nested occurrence:
#   Base:1 -Hinge(revolute z at (10,0,5))-> Arm:1 -Rail(slider along x)-> Carriage:1
#   Carriage:1 -Spindle(cylindrical about z)-> Head:1 -Weld(rigid)-> Tip:1
#   Sensor:1 nested in Carriage:1;  Loose:1 placed freely
CHAIN = {
    "format": "cellpath-workcell", "version": 1,
    "components": [
        {"name": "Base", "bodies": [{"name": "Block", "shape": "box", "size": [20, 20, 10], "center": [0, 0, 0]}]},
        {"name": "Arm", "bodies": [{"name": "Bar", "shape": "box", "size": [30, 4, 4], "center": [15, 0, 0]},
                                   {"name": "Pin", "shape": "cylinder", "radius": 2, "length": 6}]},
        {"name": "Carriage", "bodies": [{"name": "Empty", "shape": "mesh", "vertices": [], "triangles": []},
                                        {"name": "Shoe", "shape": "box", "size": [4, 4, 4]}]},
        {"name": "Sensor", "bodies": [{"name": "Eye", "shape": "box", "size": [1, 1, 1]}]},
        {"name": "Head"}, {"name": "Tip"}, {"name": "Loose"},
    ],
    "occurrences": [
        {"component": "Base", "translation": [0, 0, 0]},
        {"component": "Arm", "translation": [10, 0, 5], "rotation": {"axis": [0, 0, 1], "angle": 30}},
        {"component": "Carriage", "translation": [20, 0, 10]},
        {"component": "Sensor", "parent": "Carriage:1", "translation": [0, 0, 3]},
        {"component": "Head", "translation": [20, 0, 15]},
        {"component": "Tip", "translation": [20, 0, 20], "rotation": {"matrix": [[0, -1, 0], [1, 0, 0], [0, 0, 1]]}},
        {"component": "Loose", "translation": [-40, 0, 0]},
        {"component": "Arm", "translation": [0, 50, 0]},
    ],
    "joints": [
        {"name": "Hinge", "type": "revolute", "parent": "Base:1", "child": "Arm:1", "origin": [10, 0, 5],
         "axis": [0, 0, 2], "limits": [-90, None]},
        {"name": "Rail", "type": "slider", "parent": "Arm:1", "child": "Carriage:1", "origin": [20, 0, 10],
         "axis": [1, 0, 0], "limits": [0, 25]},
        {"name": "Spindle", "type": "cylindrical", "parent": "Carriage:1", "child": "Head:1", "origin": [20, 0, 15],
         "axis": [0, 0, 1], "slide_limits": [-1, 1]},
        {"name": "Weld", "type": "rigid", "parent": "Head:1", "child": "Tip:1", "origin": [20, 0, 20]},
    ],
}


@pytest.fixture
def chain(app):
    cell = workcell.build(copy.deepcopy(CHAIN))
    workcell.install(cell.design)
    return cell


def occ(design, name):
    return design.rootComponent.allOccurrences.itemByName(name)


# ---------------------------------------------------------------------------
# Geometry values


def test_matrix_accepts_rigid_row_major_and_refuses_anything_else():
    m = adsk.core.Matrix3D.create()
    assert m.asArray() == tuple(np.eye(4).reshape(16))
    pose = shift([1, 2, 3]) @ rot([1, 1, 0], 0.7)
    assert m.setWithArray(list(pose.reshape(16)))
    assert np.allclose(np.array(m.asArray()).reshape(4, 4), pose)  # row-major: translation in cells 3, 7, 11
    assert m.asArray()[3] == 1.0 and m.asArray()[7] == 2.0

    scaled = pose.copy()
    scaled[:3, :3] *= 1.01
    mirrored = pose @ np.diag([1.0, 1.0, -1.0, 1.0])
    sheared = pose.copy()
    sheared[0, 1] += 1e-3
    bottom = pose.copy()
    bottom[3, 0] = 0.5
    nan = pose.copy()
    nan[0, 3] = np.nan
    for bad in (scaled.reshape(16), mirrored.reshape(16), sheared.reshape(16), bottom.reshape(16),
                nan.reshape(16), list(pose.reshape(16))[:15]):
        assert m.setWithArray(list(bad)) is False
        assert np.allclose(np.array(m.asArray()).reshape(4, 4), pose)  # unchanged
    nearly = pose.copy()
    nearly[0, 0] += 1e-9  # float noise from a chain of products is fine
    assert m.setWithArray(list(nearly.reshape(16)))


def test_points_vectors_and_colours():
    p = adsk.core.Point3D.create(1, 2, 3)
    p.x = 4
    assert (p.x, p.y, p.z) == (4.0, 2.0, 3.0)
    m = adsk.core.Matrix3D.create()
    m.setWithArray(list((shift([0, 0, 5]) @ rot([0, 0, 1], math.pi / 2)).reshape(16)))
    p.transformBy(m)
    assert np.allclose(p.asArray(), (-2, 4, 8))
    v = adsk.core.Vector3D.create(0, 3, 4)
    v.transformBy(m)  # vectors only turn
    assert np.allclose(v.asArray(), (-3, 0, 4)) and v.length == 5.0
    c = adsk.core.Color.create(60, 60, 60, 60)
    assert c.getColor() == (True, 60, 60, 60, 60)
    with pytest.raises(RuntimeError):
        adsk.core.Color.create(0, 0, 256, 0)
    with pytest.raises(TypeError):
        adsk.core.Color.create(0.5, 0, 0, 0)


# ---------------------------------------------------------------------------
# Joints and poses


def test_revolute_value_moves_everything_downstream_and_nothing_else(chain):
    d = chain.design
    root = d.rootComponent
    names = ["Arm:1", "Carriage:1", "Sensor:1", "Head:1", "Tip:1"]
    before = {n: mat(occ(d, n)) for n in names + ["Base:1", "Loose:1", "Arm:2"]}
    rail_two = root.joints.itemByName("Rail").geometryOrOriginTwo
    hinge = root.joints.itemByName("Hinge").jointMotion
    assert hinge.jointType == F.JointTypes.RevoluteJointType

    hinge.rotationValue = 0.4
    turn = about([10, 0, 5], [0, 0, 1], 0.4)
    for n in names:
        assert np.allclose(mat(occ(d, n)), turn @ before[n]), n
    for n in ("Base:1", "Loose:1", "Arm:2"):
        assert np.array_equal(mat(occ(d, n)), before[n]), n
    # the geometry of downstream joints moved with the parts that carry them
    rail = root.joints.itemByName("Rail")
    moved = rail.geometryOrOriginTwo
    assert np.allclose(xyz(moved.origin), (turn @ np.r_[xyz(rail_two.origin), 1])[:3])
    assert np.allclose(xyz(rail.jointMotion.slideDirectionVector), turn[:3, :3] @ [1, 0, 0])
    # the hinge's own two sides: origins stay on the axis, side one turns, side two stays
    g1 = root.joints.itemByName("Hinge").geometryOrOriginOne
    g2 = root.joints.itemByName("Hinge").geometryOrOriginTwo
    assert np.allclose(xyz(g1.origin), (10, 0, 5)) and np.allclose(xyz(g2.origin), (10, 0, 5))
    assert np.allclose(xyz(g1.primaryAxisVector), turn[:3, :3] @ xyz(g2.primaryAxisVector))
    assert np.allclose(xyz(hinge.rotationAxisVector), (0, 0, 1))


def test_slider_cylindrical_and_rigid_joints(chain):
    d = chain.design
    joints = d.rootComponent.joints
    tip0, sensor0 = mat(occ(d, "Tip:1")), mat(occ(d, "Sensor:1"))
    rail = joints.itemByName("Rail").jointMotion
    assert rail.jointType == F.JointTypes.SliderJointType
    rail.rotationValue = 7.5  # the toolkit drives sliders through rotationValue, in centimetres
    assert rail.slideValue == 7.5
    assert np.allclose(mat(occ(d, "Tip:1")), shift([7.5, 0, 0]) @ tip0)
    assert np.allclose(mat(occ(d, "Sensor:1")), shift([7.5, 0, 0]) @ sensor0)
    one, two = joints.itemByName("Rail").geometryOrOriginOne, joints.itemByName("Rail").geometryOrOriginTwo
    assert np.allclose(xyz(one.origin) - xyz(two.origin), (7.5, 0, 0))

    spindle = joints.itemByName("Spindle").jointMotion
    assert spindle.jointType == F.JointTypes.CylindricalJointType
    tip1 = mat(occ(d, "Tip:1"))
    spindle.rotationValue = 1.0
    spindle.slideValue = 2.0
    axis_point = [27.5, 0, 15]
    assert np.allclose(mat(occ(d, "Tip:1")), shift([0, 0, 2]) @ about(axis_point, [0, 0, 1], 1.0) @ tip1)
    weld = joints.itemByName("Weld")
    assert weld.jointMotion.jointType == F.JointTypes.RigidJointType
    assert not hasattr(weld.jointMotion, "rotationValue")
    # the rigid joint holds Tip where it was relative to Head
    rel = np.linalg.inv(mat(occ(d, "Head:1"))) @ mat(occ(d, "Tip:1"))
    joints.itemByName("Hinge").jointMotion.rotationValue = -2.0
    assert np.allclose(np.linalg.inv(mat(occ(d, "Head:1"))) @ mat(occ(d, "Tip:1")), rel)


def test_limits_are_reported_per_side(chain):
    joints = chain.design.rootComponent.joints
    lim = joints.itemByName("Hinge").jointMotion.rotationLimits
    assert lim.isMinimumValueEnabled and lim.minimumValue == pytest.approx(-math.pi / 2)
    assert not lim.isMaximumValueEnabled
    rail = joints.itemByName("Rail").jointMotion
    assert rail.rotationLimits is rail.slideLimits and rail.slideLimits.maximumValue == 25.0
    spindle = joints.itemByName("Spindle").jointMotion
    assert not spindle.rotationLimits.isMinimumValueEnabled and spindle.slideLimits.minimumValue == -1.0
    for bad in (float("nan"), float("inf")):
        with pytest.raises(RuntimeError):
            joints.itemByName("Hinge").jointMotion.rotationValue = bad


def test_transform2_assignment(chain, app):
    d = chain.design
    target = shift([1, 2, 3]) @ rot([0, 1, 0], 0.3)
    m = adsk.core.Matrix3D.create()
    m.setWithArray(list(target.reshape(16)))
    assert not d.snapshots.hasPendingSnapshot
    occ(d, "Loose:1").transform2 = m
    assert np.allclose(mat(occ(d, "Loose:1")), target)
    assert d.snapshots.hasPendingSnapshot
    d.snapshots.add()
    assert not d.snapshots.hasPendingSnapshot

    # moving a grounded part carries the whole jointed tree along
    base = occ(d, "Base:1")
    tip0 = mat(occ(d, "Tip:1"))
    base.transform2 = m
    assert np.allclose(mat(occ(d, "Tip:1")), target @ tip0)

    # a jointed part can be dragged, but the next joint change puts it back
    head = occ(d, "Head:1")
    jointed = mat(head)
    head.transform2 = m
    assert np.allclose(mat(head), target)
    d.rootComponent.joints.itemByName("Rail").jointMotion.rotationValue = 0.0
    assert np.allclose(mat(head), jointed)

    d.designType = F.DesignTypes.DirectDesignType
    occ(d, "Loose:1").transform2 = adsk.core.Matrix3D.create()
    assert not d.snapshots.hasPendingSnapshot
    with pytest.raises(TypeError):
        occ(d, "Loose:1").transform2 = target


# ---------------------------------------------------------------------------
# Lookups, order, meshes


def test_name_lookups_return_none_when_missing(chain):
    root = chain.design.rootComponent
    assert root.joints.itemByName("Nope") is None
    assert root.joints.item(99) is None and root.joints.count == 4
    assert root.occurrences.itemByName("Arm") is None  # occurrences are named "<component>:<k>"
    assert root.occurrences.itemByName("Arm:2").component.name == "Arm"
    assert root.occurrences.itemByName("Sensor:1") is None  # nested: not at the top level
    assert chain.design.allComponents.itemByName("Sensor").bRepBodies.itemByName("Eye") is not None
    assert chain.design.allComponents.itemByName("Nope") is None
    assert F.Design.cast(adsk.core.Application.get().activeProduct) is chain.design
    assert F.Design.cast(root) is None


def test_all_occurrences_depth_first_and_stable(chain):
    root = chain.design.rootComponent
    order = [o.name for o in root.allOccurrences]
    assert order == ["Base:1", "Arm:1", "Carriage:1", "Sensor:1", "Head:1", "Tip:1", "Loose:1", "Arm:2"]
    assert occ(chain.design, "Sensor:1").fullPathName == "Carriage:1+Sensor:1"
    root.joints.itemByName("Hinge").jointMotion.rotationValue = 1.0
    occ(chain.design, "Loose:1").transform2 = adsk.core.Matrix3D.create()
    assert [o.name for o in root.allOccurrences] == order
    assert [o.name for o in root.occurrences] == [n for n in order if n != "Sensor:1"]
    assert root.allOccurrences.item(3).name == "Sensor:1" and root.allOccurrences.count == 8


def mesh_of(body, quality=LOW):
    calc = body.meshManager.createMeshCalculator()
    calc.setQuality(quality)
    return calc.calculate()


def test_meshes_are_closed_in_component_frame_and_centimetres(chain):
    d = chain.design
    arm = d.allComponents.itemByName("Arm")
    bar = mesh_of(arm.bRepBodies.itemByName("Bar"))
    v = np.array(bar.nodeCoordinatesAsDouble).reshape(-1, 3)
    assert bar.nodeCount == 8 and len(bar.nodeIndices) == 36
    # the component frame: the occurrence's 30 degree turn and joint motion do not show
    d.rootComponent.joints.itemByName("Hinge").jointMotion.rotationValue = 1.0
    assert np.allclose(v.min(axis=0), (0, -2, -2)) and np.allclose(v.max(axis=0), (30, 2, 2))
    assert np.array_equal(np.array(mesh_of(arm.bRepBodies.item(0)).nodeCoordinatesAsDouble).reshape(-1, 3), v)

    pin = arm.bRepBodies.itemByName("Pin")
    low, high = mesh_of(pin), mesh_of(pin, F.TriangleMeshQualityOptions.HighQualityTriangleMesh)
    assert low.nodeCount < high.nodeCount
    for m in (bar, low, high):
        tm = trimesh.Trimesh(np.array(m.nodeCoordinatesAsDouble).reshape(-1, 3),
                             np.array(m.nodeIndices).reshape(-1, 3), process=False)
        assert tm.is_watertight and tm.is_winding_consistent and tm.volume > 0
    assert mesh_of(pin).nodeCoordinatesAsDouble[2] == pytest.approx(-3.0)  # first node: bottom cap centre
    empty = d.allComponents.itemByName("Carriage").bRepBodies.item(0)
    assert mesh_of(empty).nodeCount == 0 and mesh_of(empty).nodeIndices == []
    with pytest.raises(RuntimeError):
        pin.meshManager.createMeshCalculator().setQuality(42)


# ---------------------------------------------------------------------------
# Custom graphics and the application's records


def test_graphics_groups_keep_lines_colour_and_weight(chain):
    groups = chain.design.rootComponent.customGraphicsGroups
    g = groups.add()
    coords = F.CustomGraphicsCoordinates.create([0, 0, 0, 1, 2, 3])
    line = g.addLines(coords, [], False)
    line.color = F.CustomGraphicsSolidColorEffect.create(adsk.core.Color.create(60, 60, 60, 60))
    line.weight = 2
    assert groups.count == 1 and groups.item(0) is g and g.count == 1
    assert line.color.color.as_tuple() == (60, 60, 60, 60) and line.weight == 2.0
    assert line.segments() == [((0, 0, 0), (1, 2, 3))]
    strip = g.addLines(F.CustomGraphicsCoordinates.create([0, 0, 0, 1, 0, 0, 1, 1, 0]), [], True)
    assert len(strip.segments()) == 2
    with pytest.raises(RuntimeError):
        g.addLines(F.CustomGraphicsCoordinates.create([0, 0, 0, 1, 0, 0, 1, 1, 0]), [], False)
    with pytest.raises(RuntimeError):
        F.CustomGraphicsCoordinates.create([0, 0])
    with pytest.raises(TypeError):
        line.color = adsk.core.Color.create(1, 2, 3, 4)
    h = groups.add()
    for group in list(groups):
        assert group.deleteMe()
    assert groups.count == 0 and not g.isValid and not line.isValid and not h.deleteMe()
    with pytest.raises(RuntimeError):
        g.addLines(coords, [], False)


def test_application_records_and_reset(chain, app):
    assert adsk.core.Application.get() is app
    app.log("one")
    app.userInterface.messageBox("careful")
    adsk.doEvents()
    app.activeViewport.refresh()
    adsk.doEvents()
    assert app.log_lines == ["one"] and app.message_boxes == ["careful"]
    assert app.do_events_count == 2 and app.refresh_count == 1
    assert [k for k, _ in app.events] == ["log", "messageBox", "doEvents", "refresh", "doEvents"]
    with pytest.raises(TypeError):
        app.log(42)
    seen = []
    app.echo = seen.append
    try:
        app.log("two")
        adsk.doEvents()
    finally:
        app.echo = None
    assert seen == ["two"]
    workcell.reset_application()
    assert app.events == [] and app.activeProduct is None and adsk.core.Application.get() is app


# ---------------------------------------------------------------------------
# Workcell files


@pytest.mark.parametrize("edit, where", [
    (lambda d: d["components"][0].update(colour="red"), "components[0]: unknown key"),
    (lambda d: d["joints"][0].update(parent="Nowhere:1"), "joints[0].parent"),
    (lambda d: d["joints"].append({"name": "Loop", "type": "revolute", "parent": "Tip:1", "child": "Base:1",
                                   "origin": [0, 0, 0]}), "loop"),
    (lambda d: d["joints"].append({"name": "Twice", "type": "slider", "parent": "Loose:1", "child": "Arm:1",
                                   "origin": [0, 0, 0]}), "already the child"),
    (lambda d: d["occurrences"][1].update(rotation={"matrix": [[1, 0, 0], [0, 1, 0], [0, 0, 2]]}), "rotation"),
    (lambda d: d["joints"][0].update(limits=[10, -10]), "joints[0].limits"),
    (lambda d: d["joints"][3].update(value=5), "rigid"),
    (lambda d: d.update(units={"length": "mm", "angle": "deg"}), "units"),
    (lambda d: d.update(environment=["Ghost"]), "environment"),
])
def test_workcell_errors_say_where(edit, where):
    data = copy.deepcopy(CHAIN)
    edit(data)
    with pytest.raises(workcell.WorkcellError, match=where.replace("[", r"\[").replace("]", r"\]")):
        workcell.build(data)


# ---------------------------------------------------------------------------
# The sample workcell
#
# The checks below recompute, in plain numpy, what the CAD side and the planner
# will do with the sample: screws read from the joints at the zero pose, inverse
# kinematics from the starting pose, and collision of the posed link meshes.


def skew(w):
    return np.array([[0, -w[2], w[1]], [w[2], 0, -w[0]], [-w[1], w[0], 0]])


def exp6(s, th):
    w, v = s[:3], s[3:]
    t = np.eye(4)
    if np.linalg.norm(w) < 1e-6:
        t[:3, 3] = v * th
        return t
    k = skew(w)
    t[:3, :3] = np.eye(3) + math.sin(th) * k + (1 - math.cos(th)) * k @ k
    t[:3, 3] = (np.eye(3) * th + (1 - math.cos(th)) * k + (th - math.sin(th)) * k @ k) @ v
    return t


def log6(t):
    r, p = t[:3, :3], t[:3, 3]
    c = (np.trace(r) - 1) / 2
    if c >= 0.999999:
        return np.r_[0, 0, 0, p]
    th = math.acos(max(-1.0, c))
    w = np.array([r[2, 1] - r[1, 2], r[0, 2] - r[2, 0], r[1, 0] - r[0, 1]]) / (2 * math.sin(th))
    k = skew(w)
    g_inv = np.eye(3) / th - 0.5 * k + (1 / th - 0.5 / math.tan(th / 2)) * k @ k
    return np.r_[w * th, g_inv @ p * th]


def adjoint(t):
    a = np.zeros((6, 6))
    a[:3, :3] = a[3:, 3:] = t[:3, :3]
    a[3:, :3] = skew(t[:3, 3]) @ t[:3, :3]
    return a


def fk(screws, th, home):
    t = np.eye(4)
    for s, a in zip(screws.T, th):
        t = t @ exp6(s, a)
    return t @ home


def ik(screws, home, target, th0, max_step=None):
    """Damped least squares on the body-frame error twist, 200 iterations; with
    ``max_step`` every update is capped and wrapped (the waypoint solver)."""
    wrap = lambda a: np.arctan2(np.sin(a), np.cos(a))  # noqa: E731
    th = wrap(np.asarray(th0, float))
    for _ in range(200):
        t = fk(screws, th, home)
        vb = log6(np.linalg.inv(t) @ target)
        if np.linalg.norm(vb[:3]) < 1e-3 and np.linalg.norm(vb[3:]) < 1e-3:
            return wrap(th), True
        jac, acc = screws.copy(), np.eye(4)
        for i in range(1, len(th)):
            acc = acc @ exp6(screws[:, i - 1], th[i - 1])
            jac[:, i] = adjoint(acc) @ screws[:, i]
        step = jac.T @ np.linalg.solve(jac @ jac.T + 1e-4 * np.eye(6), adjoint(t) @ vb)
        if max_step is not None:
            step *= min(1.0, max_step / np.linalg.norm(step))
            th = wrap(th + step)
        else:
            th = th + step
    return wrap(th), False


class Arm:
    """The sample's arm as the CAD side reads it: screws in the base frame, home
    poses and link meshes (cm), and the environment meshes in world coordinates."""

    def __init__(self, cell):
        root = cell.design.rootComponent
        start = cell.joint_values()
        cell.set_joint_values(np.zeros(len(cell.joints)))
        by_base = {}
        for o in root.allOccurrences:
            by_base.setdefault(o.name.split(":")[0], o)
        comp = lambda name: next(mat(o) for o in root.allOccurrences if o.component.name == name)  # noqa: E731
        self.base = comp(cell.base)
        cols = []
        for name in cell.joints:
            j = root.joints.itemByName(name)
            w = xyz(j.jointMotion.rotationAxisVector)
            w /= np.linalg.norm(w)
            cols.append(np.r_[w, np.cross(xyz(j.geometryOrOriginOne.origin), w)])
        self.screws = adjoint(np.linalg.inv(self.base)) @ np.array(cols).T
        self.home = np.linalg.inv(self.base) @ comp(cell.end_effector)
        self.link_homes = [mat(by_base[n]) for n in cell.links]
        self.link_meshes = [self._mesh(by_base[n].component) for n in cell.links]
        self.env = {}
        for n in cell.environment:
            t = mat(by_base[n])
            m = self._mesh(by_base[n].component)
            self.env[n] = trimesh.Trimesh(m.vertices @ t[:3, :3].T + t[:3, 3], m.faces, process=False)
        self.limits = np.array([[j.jointMotion.rotationLimits.minimumValue, j.jointMotion.rotationLimits.maximumValue]
                                for j in map(root.joints.itemByName, cell.joints)])
        cell.set_joint_values(start)
        self.manager = trimesh.collision.CollisionManager()
        for n, m in self.env.items():
            self.manager.add_object(n, m)

    @staticmethod
    def _mesh(component):
        vs, fs, n = [], [], 0
        for body in component.bRepBodies:
            m = mesh_of(body)
            vs.append(np.array(m.nodeCoordinatesAsDouble).reshape(-1, 3))
            fs.append(np.array(m.nodeIndices).reshape(-1, 3) + n)
            n += m.nodeCount
        return trimesh.Trimesh(np.vstack(vs), np.vstack(fs), process=False)

    def link_poses(self, th):
        out, acc = [self.link_homes[0]], np.eye(4)
        for k, a in enumerate(th):
            acc = acc @ exp6(self.screws[:, k], a)
            out.append(self.base @ acc @ np.linalg.inv(self.base) @ self.link_homes[k + 1])
        return out

    def clearance(self, th):
        """Smallest distance (cm) from the moving links to the environment."""
        return min(self.manager.min_distance_single(m, transform=t)
                   for m, t in zip(self.link_meshes[1:], self.link_poses(th)[1:]))

    def touches_environment(self, th):
        return any(self.manager.in_collision_single(m, transform=t)
                   for m, t in zip(self.link_meshes[1:], self.link_poses(th)[1:]))

    def self_contacts(self, th):
        """Pairs of non-adjacent links in contact."""
        cm = trimesh.collision.CollisionManager()
        for k, (m, t) in enumerate(zip(self.link_meshes, self.link_poses(th))):
            cm.add_object(str(k), m, transform=t)
        _, pairs = cm.in_collision_internal(return_names=True)
        return sorted(p for p in pairs if abs(int(p[0]) - int(p[1])) > 1)


@pytest.fixture(scope="module")
def arm():
    """The sample, loaded once, with both solvers run from the start pose to both targets."""
    workcell.reset_application()
    cell = workcell.load_into_application()
    a = Arm(cell)
    a.cell = cell
    a.start = cell.joint_values()
    a.targets = [np.linalg.inv(a.base) @ mat(occ(cell.design, f"{t}:1")) for t in cell.targets]
    a.solutions = {step: [ik(a.screws, a.home, t, a.start, step) for t in a.targets] for step in (None, 0.3)}
    return a


def test_sample_names_and_roles(sample):
    d = sample.design
    root = d.rootComponent
    assert (sample.base, sample.end_effector, sample.targets) == ("Base", "ToolFlange", ["inicomp", "inicomp2"])
    assert sample.joints == ["J1", "J2", "J3", "J4", "J5", "J6"]
    assert sample.links == ["Base", "Link1", "Link2", "Link3", "Link4", "Link5", "Link6"]
    assert sample.environment == ["Table", "Obstacle1", "Obstacle2"]
    for k, name in enumerate(sample.joints, start=1):
        j = root.joints.itemByName(name)
        assert j.jointMotion.jointType == F.JointTypes.RevoluteJointType
        assert (j.occurrenceOne.name, j.occurrenceTwo.name) == (f"Link{k}:1", "Base:1" if k == 1 else f"Link{k - 1}:1")
    for name in sample.links + sample.environment:
        assert root.occurrences.itemByName(f"{name}:1").component.bRepBodies.count > 0
    assert root.occurrences.itemByName("ToolFlange:1").component.bRepBodies.count == 0
    assert d.designType == F.DesignTypes.ParametricDesignType
    assert np.any(sample.joint_values() != 0)  # the start pose is not the home pose
    assert sample.capture_arguments("out")["OUTPUT_DIR"] == "out"


def test_sample_flange_rides_on_the_last_link_and_poe_matches(arm):
    cell = arm.cell
    d = cell.design
    rel = np.linalg.inv(mat(occ(d, "Link6:1"))) @ mat(occ(d, "ToolFlange:1"))
    rng = np.random.default_rng(7)
    try:
        for _ in range(5):
            q = rng.uniform(-math.pi, math.pi, 6)
            cell.set_joint_values(q)
            flange = mat(occ(d, "ToolFlange:1"))
            assert np.allclose(np.linalg.inv(mat(occ(d, "Link6:1"))) @ flange, rel)
            assert np.allclose(arm.base @ fk(arm.screws, q, arm.home), flange, atol=1e-9)
            for k, name in enumerate(cell.links):
                assert np.allclose(arm.link_poses(q)[k], mat(occ(d, f"{name}:1")), atol=1e-9)
    finally:
        cell.set_joint_values(arm.start)


def test_sample_adjacent_links_stay_attached(arm):
    """Consecutive link meshes keep their smallest vertex gap under motion (the
    offline attachment check relies on it)."""
    def gaps(th):
        pts = [m.vertices @ t[:3, :3].T + t[:3, 3] for m, t in zip(arm.link_meshes, arm.link_poses(th))]
        return [np.min(np.linalg.norm(a[:, None] - b[None], axis=2)) for a, b in zip(pts, pts[1:])]
    home = gaps(np.zeros(6))
    rng = np.random.default_rng(1)
    for _ in range(5):
        assert np.all(np.array(gaps(rng.uniform(-math.pi, math.pi, 6))) < np.array(home) + 2.0)


def test_sample_targets_reachable_from_start(arm):
    for step, results in arm.solutions.items():
        for (th, converged), target in zip(results, arm.targets):
            assert converged, step
            assert np.allclose(fk(arm.screws, th, arm.home), target, atol=1e-2)
            assert np.all(th >= arm.limits[:, 0]) and np.all(th <= arm.limits[:, 1])


def test_sample_waypoints_clear_of_everything(arm):
    """The start pose and every IK solution keep 3 cm from the environment (the
    planner voxelizes at 1 cm) and no two non-adjacent links touch."""
    poses = [arm.start] + [th for results in arm.solutions.values() for th, _ in results]
    for th in poses:
        assert arm.clearance(th) >= 3.0, np.degrees(th)
        assert arm.self_contacts(th) == [], np.degrees(th)
    # neither the fixed base nor the obstacles touch anything: the exact mesh
    # query would report such a pair for every configuration
    assert not arm.manager.in_collision_single(arm.link_meshes[0], transform=arm.link_homes[0])
    assert not arm.manager.in_collision_internal()


def voxel_model(arm, pitch=0.01, pad=5.0):
    """The planner's view of the sample, in metres: the centres of the filled
    1 cm voxels of each link, and the occupied cells of the environment grid
    (origin at the environment's lower corner less the pad)."""
    scaled = lambda m: trimesh.Trimesh(m.vertices * 0.01, m.faces, process=False)  # noqa: E731
    links = [np.asarray(scaled(m).voxelized(pitch).fill().points) for m in arm.link_meshes]
    env = [scaled(m) for m in arm.env.values()]
    origin = np.min([m.bounds[0] for m in env], axis=0) - pad
    cells = np.vstack([np.floor((np.asarray(m.voxelized(pitch).fill().points) - origin) / pitch) for m in env])
    return links, origin, {tuple(c) for c in cells.astype(np.int64)}


def test_sample_straight_joint_moves_between_waypoints_collide(arm):
    """Both straight moves are blocked for the planner; the second one runs into
    the fixture outright."""
    links, origin, occupied = voxel_model(arm)

    def blocked(th):
        for pts, t in zip(links[1:], arm.link_poses(th)[1:]):
            cells = np.floor((pts @ t[:3, :3].T + t[:3, 3] * 0.01 - origin) / 0.01).astype(np.int64)
            if any(tuple(c) in occupied for c in cells):
                return True
        return False

    start = arm.start
    first, second = (th for th, _ in arm.solutions[0.3])
    assert not any(blocked(th) for th in (start, first, second))
    for a, b in ((start, first), (first, second)):
        assert any(blocked(a + (b - a) * s) for s in np.linspace(0, 1, 41))
    assert any(arm.touches_environment(first + (second - first) * s) for s in np.linspace(0, 1, 41))
