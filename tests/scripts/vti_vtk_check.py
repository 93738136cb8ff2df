#!/usr/bin/env python3
"""VTK's own readers on the solver's .vti snapshots and .pvd collections.

Usage: vti_vtk_check.py VTI_SAMPLE_PROGRAM | FOLDER

With the program (tests/lean/vti_sample.cpp), it writes its sample series
(on a plane, and on a lattice of 5 x 4 x 3 nodes) into a temporary folder,
and every value VTK reads must be the one written, bit for bit, at the node
where VTK's own indexing puts it. With a folder (e.g. a run with -houtput
vti), every collection (.pvd) in it is checked: each snapshot it lists reads
without an error or a warning, the lattice and the arrays are those of a
snapshot, the times agree, and every snapshot file of the run is listed.

Plain VTK has no reader of ParaView's collections (ParaView's vtkPVDReader is
not part of it): VTK's XML parser (vtkXMLUtilities) reads the .pvd and
vtkXMLImageDataReader each file it lists, as ParaView's reader does.

Runs with an interpreter that has the vtk and numpy packages (a virtual
environment); without them it says so and exits with status 77 (skipped).
"""
import os
import subprocess
import sys
import tempfile
import unittest

try:
    import numpy as np
except ImportError as missing:
    np = None
    MISSING = missing
try:
    import vtk
    from vtk.util.numpy_support import vtk_to_numpy
except ImportError as missing:
    vtk = None
    MISSING = missing

SAMPLE_STEPS = (0, 2500, 5000)
SAMPLE_SPACING = 1.0 / 128
SAMPLE_BOX = (5, 4, 3)  # the three-dimensional series' nodes along x, y, z


def sample_node(x, y, z, k):
    """Density and velocity of the sample program at node (x, y, z) of
    snapshot k of the box (not node 1 nor the last, which it sets apart)."""
    return (1.0 + x / 8.0 + y / 64.0 + z / 32.0 + k / 4.0,
            ((x - y) / 16.0 + k / 1024.0, -(x * y) / 32.0, (z - x) / 64.0 + k / 2048.0))


def lattice(nx, ny, nz):
    """The shape of a field's array: (ny, nx) on a plane, else (nz, ny, nx)."""
    return (ny, nx) if nz == 1 else (nz, ny, nx)


def sample_fields(nx, ny, k, nz=1):
    """The fields of snapshot k of the sample program, as it computes them:
    density, velocity (lattice + (3,)), pressure as float64, solid as uint8."""
    x = np.arange(nx)[None, None, :]  # integers, as in the program: -(0 * y) is +0.0
    y = np.arange(ny)[None, :, None]
    z = np.arange(nz)[:, None, None]
    rho = 1.0 + x / 8.0 + y / 64.0 + z / 32.0 + k / 4.0
    velocity = np.zeros((nz, ny, nx, 3))
    velocity[..., 0] = (x - y) / 16.0 + k / 1024.0
    velocity[..., 1] = -(x * y) / 32.0
    if nz > 1:
        velocity[..., 2] = (z - x) / 64.0 + k / 2048.0
    rho.flat[1] = 0.1
    velocity[-1, -1, -1, 0] = 1e-310
    pressure = 3.0 * rho - 2.5
    pressure.flat[0] = -0.0
    solid = ((x + 2 * y + 3 * z) % 5 == 0).astype(np.uint8)
    fields = {"density": rho, "velocity": velocity, "pressure": pressure, "solid": solid}
    return {name: values[0] if nz == 1 else values for name, values in fields.items()}


def same_bits(a, b):
    a, b = np.ascontiguousarray(a), np.ascontiguousarray(b)
    return a.dtype == b.dtype and a.shape == b.shape and a.tobytes() == b.tobytes()


class Complaints:
    """Errors and warnings a VTK object reports (VTK prints them and goes on)."""

    def __init__(self, *objects):
        self.messages = []
        for o in objects:
            for event in ("ErrorEvent", "WarningEvent"):
                o.AddObserver(event, self.note)

    def note(self, _, event, *data):
        self.messages.append(f"{event} {data[0] if data else ''}".strip())


def read_collection(path):
    """[(timestep text, file name)] of a .pvd, parsed by VTK's XML parser."""
    root = vtk.vtkXMLUtilities.ReadElementFromFile(path)
    if root is None:
        raise AssertionError(f"{path}: VTK cannot parse it")
    assert root.GetName() == "VTKFile" and root.GetAttribute("type") == "Collection", path
    collection = root.FindNestedElementWithName("Collection")
    entries = []
    for i in range(collection.GetNumberOfNestedElements()):
        element = collection.GetNestedElement(i)
        assert element.GetName() == "DataSet", element.GetName()
        entries.append((element.GetAttribute("timestep"), element.GetAttribute("file")))
    return entries


def read_image(path):
    """What vtkXMLImageDataReader makes of a .vti file."""
    reader = vtk.vtkXMLImageDataReader()
    complaints = Complaints(reader)
    reader.SetFileName(path)
    reader.Update()
    assert not complaints.messages, f"{path}: {complaints.messages}"
    image = reader.GetOutput()
    nx, ny, nz = image.GetDimensions()
    points = image.GetPointData()
    arrays = {}
    for i in range(points.GetNumberOfArrays()):
        array = points.GetArray(i)
        values = vtk_to_numpy(array)
        shape = lattice(nx, ny, nz) + (() if array.GetNumberOfComponents() == 1 else (-1,))
        arrays[array.GetName()] = values.reshape(shape)
    field = image.GetFieldData()
    return {"dims": (nx, ny, nz), "spacing": image.GetSpacing(), "origin": image.GetOrigin(),
            "arrays": arrays, "time": field.GetArray("TimeValue").GetValue(0),
            "step": int(field.GetArray("step").GetValue(0)),
            "scalars": points.GetScalars().GetName(),
            "vectors": points.GetVectors().GetName() if points.GetVectors() else None,
            "image": image}


def read_series(folder):
    """{collection name: [(time, step, image)]} of every .pvd in a folder."""
    series = {}
    for name in sorted(os.listdir(folder)):
        if name.endswith(".pvd"):
            series[name] = []
            for timestep, file in read_collection(os.path.join(folder, name)):
                image = read_image(os.path.join(folder, file))
                series[name].append((float(timestep), file, image))
    return series


class Check(unittest.TestCase):
    folder = None   # the files to check
    sample = False  # written by the sample program: values known

    @classmethod
    def setUpClass(cls):
        cls.series = read_series(cls.folder)

    def test_every_collection_lists_its_snapshots_and_vtk_reads_them(self):
        self.assertTrue(self.series, f"no .pvd in {self.folder}")
        for name, entries in self.series.items():
            with self.subTest(name):
                self.assertTrue(entries)
                prefix = name[:-len(".pvd")] + "."
                on_disk = sorted(f for f in os.listdir(self.folder)
                                 if f.startswith(prefix) and f.endswith(".vti"))
                self.assertEqual(sorted(file for _, file, _ in entries), on_disk)
                times = [time for time, _, _ in entries]
                self.assertEqual(times, sorted(times))
                dims = entries[0][2]["dims"]
                for time, file, image in entries:
                    self.assertEqual(image["dims"], dims, file)
                    self.assertEqual(image["time"], time, file)
                    h = image["spacing"]
                    self.assertTrue(h[0] > 0 and h[0] == h[1] == h[2], file)
                    self.assertEqual(image["origin"], (0.0, 0.0, 0.0))
                    self.assertEqual((image["scalars"], image["vectors"]),
                                     ("density", "velocity"))
                    arrays = image["arrays"]
                    self.assertLessEqual({"density", "velocity", "pressure"}, set(arrays))
                    self.assertEqual(arrays["velocity"].shape, lattice(*dims) + (3,))
                    if dims[2] == 1:
                        self.assertFalse(arrays["velocity"][..., 2].any(), file)
                    if "solid" in arrays:
                        self.assertEqual(arrays["solid"].dtype, np.uint8)
                        self.assertLessEqual(set(np.unique(arrays["solid"])), {0, 1})

    def test_values_are_those_written(self):
        if not self.sample:
            self.skipTest("a folder of files: the values written are not known")
        depths = sorted(entries[0][2]["dims"][2] for entries in self.series.values())
        self.assertEqual(depths, [1, SAMPLE_BOX[2]])
        for name, entries in self.series.items():
            self.assertEqual([image["step"] for _, _, image in entries], list(SAMPLE_STEPS))
            for k, (time, file, image) in enumerate(entries):
                with self.subTest(file):
                    self.assertEqual(time, SAMPLE_STEPS[k] * 1e-4)
                    self.assertEqual(image["spacing"], (SAMPLE_SPACING,) * 3)
                    nx, ny, nz = image["dims"]
                    expected = sample_fields(nx, ny, k, nz)
                    self.assertEqual(set(image["arrays"]), set(expected))
                    for array, values in expected.items():
                        self.assertTrue(same_bits(image["arrays"][array], values), array)

    def test_vtk_finds_the_box_values_at_their_nodes(self):
        if not self.sample:
            self.skipTest("a folder of files: the values written are not known")
        boxes = [entries for entries in self.series.values()
                 if entries[0][2]["dims"] == SAMPLE_BOX]
        self.assertEqual(len(boxes), 1)
        for k, (_, file, found) in enumerate(boxes[0]):
            image = found["image"]
            density = image.GetPointData().GetArray("density")
            velocity = image.GetPointData().GetArray("velocity")
            for node in ((0, 0, 0), (4, 3, 1), (1, 2, 1), (3, 0, 2), (2, 1, 0), (0, 3, 2)):
                with self.subTest(file=file, node=node):
                    point = image.ComputePointId(node)
                    self.assertEqual(image.GetPoint(point),
                                     tuple(SAMPLE_SPACING * i for i in node))
                    rho, u = sample_node(*node, k)
                    self.assertEqual(density.GetValue(point), rho)
                    self.assertEqual(velocity.GetTuple3(point), u)


def main(argv):
    if len(argv) != 2:
        print(__doc__.split("\n\n")[1], file=sys.stderr)
        return 2
    if vtk is None or np is None:
        print(f"vti_vtk_check.py: skipped, {sys.executable} lacks {MISSING.name}",
              file=sys.stderr)
        return 77
    print(f"VTK {vtk.vtkVersion.GetVTKVersion()}, numpy {np.__version__}", file=sys.stderr)
    with tempfile.TemporaryDirectory() as scratch:
        if os.path.isdir(argv[1]):
            Check.folder = argv[1]
        else:
            for size in ([], [str(n) for n in SAMPLE_BOX]):
                program = subprocess.run([os.path.abspath(argv[1]), scratch] + size,
                                         capture_output=True, timeout=60)
                if program.returncode != 0:
                    print(f"vti_vtk_check.py: {argv[1]} failed: {program.stderr.decode()}",
                          file=sys.stderr)
                    return 1
            Check.folder, Check.sample = scratch, True
        result = unittest.main(argv=argv[:1], exit=False, verbosity=2).result
    return 0 if result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
