"""package:// references in the usual ROS layout: the URDF in its package's urdf/ folder, other
packages beside that package; and the error that says how to name a package's folder."""
import numpy as np
import pytest

from cellpath_urdf import UrdfImportError, main, urdf_to_cache
from test_urdf import box_stl, write

ROBOT = """<robot name="r">
  <link name="a"><collision><geometry><mesh filename="package://{pkg}/meshes/base.stl"/></geometry></collision></link>
  <joint name="j" type="revolute"><parent link="a"/><child link="b"/><axis xyz="0 0 1"/>
    <limit lower="-1" upper="1" effort="1" velocity="1"/></joint>
  <link name="b"><collision><geometry><mesh filename="package://robot_description/meshes/arm.stl"/></geometry>
    </collision></link>
</robot>"""


def test_packages_are_found_among_the_urdf_ancestors(tmp_path):
    src = tmp_path / "ws" / "src"
    urdf = write(src / "robot_description" / "urdf" / "robot.urdf", ROBOT.format(pkg="robot_meshes"))
    box_stl(src / "robot_description" / "meshes" / "arm.stl", (0.1, 0.1, 0.4))   # the URDF's own package
    box_stl(src / "robot_meshes" / "meshes" / "base.stl", (0.3, 0.3, 0.1))       # a package beside it
    out = urdf_to_cache(urdf, tmp_path / "cache", ["j"])
    with np.load(out / "link_0.npz") as d:
        np.testing.assert_allclose(np.ptp(d["V"], axis=0), [0.3, 0.3, 0.1])
    with np.load(out / "link_1.npz") as d:
        np.testing.assert_allclose(np.ptp(d["V"], axis=0), [0.1, 0.1, 0.4])


def test_a_missing_package_suggests_naming_its_folder(tmp_path, capsys):
    urdf = write(tmp_path / "d" / "urdf" / "robot.urdf", ROBOT.format(pkg="elsewhere"))
    with pytest.raises(UrdfImportError) as err:
        urdf_to_cache(urdf, tmp_path / "cache", ["j"])
    says = str(err.value)
    assert "package://elsewhere/meshes/base.stl" in says and "more among the URDF's ancestors" in says
    assert says.endswith("name the package's folder with --package-dir elsewhere=DIR "
                         "(package_dirs={'elsewhere': DIR})")
    assert main([str(urdf), str(tmp_path / "cache"), "--joints", "j"]) == 1
    err_lines = capsys.readouterr().err.splitlines()
    assert len(err_lines) == 1 and err_lines[0].startswith("cellpath-urdf: error: mesh file")
