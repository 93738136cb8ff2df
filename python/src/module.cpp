// vdwflow._core: the lean solver vdwflow as a Python extension. Each Core is
// one run (lean::run: the program's own start-up, state, kernels, snapshots
// and checkpoint); this file holds what a run in an interpreter needs beyond
// it:
//   - failures, which the run throws as values, become Python exceptions
//     with the program's messages;
//   - steps run without the GIL, and Ctrl-C ends a step() between two steps;
//   - one call at a time on each run (a second thread waits its turn); runs
//     of different simulations go on side by side.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>

#include <chrono>
#include <climits>
#include <cmath>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "keys.h"
#include "reporters.h"
#include "run.h"

namespace nb = nanobind;

namespace {

[[noreturn]] void raise(PyObject *type, const std::string &message)
{
    PyErr_SetString(type, message.c_str());
    throw nb::python_error();
}

std::string without_newline(std::string text)
{
    while (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
}

// The Python exception of a run's failure: ValueError for a bad input,
// OSError for a file, RuntimeError for a blow-up or the device.
[[noreturn]] void raise_failure(const run_error &e)
{
    std::string message = without_newline(e.err);
    if (e.kind == run_failure::device)
        message = std::string(cudaGetErrorString(e.device)) + " (the lean solver's device state, line " +
                  std::to_string(e.line) + ")";
    if (message.empty()) message = without_newline(e.out);
    if (message.empty() && e.status == -1)
        message = "a key without its value at the end of the parameters";
    if (message.empty()) message = "the run ended with status " + std::to_string(e.status);
    switch (e.kind) {
    case run_failure::file:
        raise(PyExc_OSError, message);
    case run_failure::unstable:
    case run_failure::device:
        raise(PyExc_RuntimeError, message);
    case run_failure::input:
        break;
    }
    raise(PyExc_ValueError, message);
}

using array_out = nb::ndarray<nb::numpy, double, nb::c_contig>;
using input_array = nb::ndarray<const double, nb::c_contig, nb::device::cpu>;
using input_mask = nb::ndarray<const std::uint8_t, nb::c_contig, nb::device::cpu>;

// A new array that owns its values.
array_out owned_array(const std::vector<size_t> &shape, double **data)
{
    size_t count = 1;
    for (size_t n : shape) count *= n;
    double *values = new double[count];
    nb::capsule owner(values, [](void *p) noexcept { delete[] static_cast<double *>(p); });
    *data = values;
    return array_out(values, shape.size(), shape.data(), owner);
}

template <class Array>
std::vector<std::size_t> shape_of(const Array &a)
{
    std::vector<std::size_t> shape;
    for (size_t d = 0; d < a.ndim(); d++) shape.push_back(a.shape(d));
    return shape;
}

class simulation {
public:
    // A run of the parameters `text` (a parameter file's content; `name`
    // names it in messages), its snapshots written into `folder` ("" or a
    // path ending in '/'), from its setup's initial state, from `density`
    // with the velocity (vx, vy) if given, with the solid nodes of `solid`
    // if given, or from the checkpoint file `checkpoint` if not empty.
    simulation(std::string text, std::string name, std::string folder, nb::object density,
               nb::object vx, nb::object vy, nb::object vz, nb::object solid,
               std::string checkpoint)
    {
        lean::run_start start;
        start.parameter_path = std::move(name);
        start.has_text = true;
        start.parameter_text = std::move(text);
        start.folder = std::move(folder);
        start.checkpoint = std::move(checkpoint);
        start.finish_at_last_step = false;
        input_array d, ux, uy, uz;
        input_mask s;
        if (!density.is_none()) {
            d = nb::cast<input_array>(density);
            start.density = {d.data(), shape_of(d)};
        }
        if (!vx.is_none()) {
            ux = nb::cast<input_array>(vx);
            uy = nb::cast<input_array>(vy);
            start.velocity_x = ux.data();
            start.velocity_y = uy.data();
            if (!vz.is_none()) {
                uz = nb::cast<input_array>(vz);
                start.velocity_z = uz.data();
            }
        }
        if (!solid.is_none()) {
            s = nb::cast<input_mask>(solid);
            start.solid = {s.data(), shape_of(s)};
        }
        try {
            run_ = std::make_unique<lean::run>(start);
        } catch (const run_error &e) {
            raise_failure(e);
        }
    }

    void close()
    {
        std::unique_ptr<lean::run> run;
        {
            nb::gil_scoped_release unlocked;
            const std::lock_guard<std::mutex> lock(mutex_);
            run.swap(run_);
        }
        // (a device that fails to free its memory: nothing left to do then)
        if (run) try {
                run->release();
            } catch (const run_error &) {
            }
    }

    // `count` steps without the GIL; Ctrl-C ends them between two steps,
    // the steps done counted. Then the check that the run is sound.
    void step(long long count)
    {
        if (count < 0) raise(PyExc_ValueError, "the number of steps is negative");
        const auto lock = hold();
        if (count > INT_MAX - static_cast<long long>(run_->step()))
            raise(PyExc_ValueError, "the step count would pass " + std::to_string(INT_MAX) +
                                        ", the program's largest snapshot label");
        bool interrupted = false;
        double total = 0.0;
        guarded([&] {
            using clock = std::chrono::steady_clock;
            nb::gil_scoped_release unlocked;
            clock::time_point checked = clock::now();
            for (long long s = 0; s < count; s++) {
                run_->steps(1);
                if (clock::now() - checked > std::chrono::milliseconds(100)) {
                    nb::gil_scoped_acquire locked;
                    if (PyErr_CheckSignals() != 0) {
                        interrupted = true;
                        break;
                    }
                    checked = clock::now();
                }
            }
            // (as a snapshot checks it: the total of the density it would show)
            total = run_->total_density();
        });
        if (interrupted) throw nb::python_error();
        if (!std::isfinite(total))
            raise(PyExc_RuntimeError, "the run became unstable at iteration " +
                                          std::to_string(run_->step()) +
                                          ": total density is not finite");
    }

    array_out density()
    {
        const auto lock = hold();
        double *out;
        array_out a = owned_array(shape(0), &out);
        guarded([&] { run_->density(out); });
        return a;
    }

    array_out velocity()
    {
        const auto lock = hold();
        double *out;
        array_out a = owned_array(shape(run_->config().dimensions()), &out);
        guarded([&] { run_->velocity(out); });
        return a;
    }

    array_out pressure()
    {
        const auto lock = hold();
        double *out;
        array_out a = owned_array(shape(0), &out);
        guarded([&] { run_->pressure(out); });
        return a;
    }

    double total_density()
    {
        const auto lock = hold();
        double total = 0.0;
        guarded([&] { total = run_->total_density(); });
        return total;
    }

    void write_snapshot()
    {
        const auto lock = hold();
        guarded([&] { run_->write_snapshot(); });
    }

    void save_checkpoint(const std::string &path)
    {
        const auto lock = hold();
        guarded([&] { run_->write_checkpoint(path); });
    }

    int step_count()
    {
        const auto lock = hold();
        return run_->step();
    }

    std::string tag()
    {
        const auto lock = hold();
        return run_->tag();
    }

    bool is_open() const { return run_ != nullptr; }

private:
    // This run for one call: the calls of other threads on it wait (without
    // the GIL, which the call that holds the run may need between steps).
    std::unique_lock<std::mutex> hold()
    {
        std::unique_lock<std::mutex> lock(mutex_, std::defer_lock);
        {
            nb::gil_scoped_release unlocked;
            lock.lock();
        }
        if (!run_) raise(PyExc_RuntimeError, "this Simulation is closed");
        return lock;
    }

    template <class Call>
    static void guarded(Call &&call)
    {
        try {
            call();
        } catch (const run_error &e) {
            raise_failure(e);
        }
    }

    // (nodes_y, nodes_x) or (nodes_z, nodes_y, nodes_x), with `components`
    // a node where not 0.
    std::vector<size_t> shape(int components) const
    {
        const lean::settings &s = run_->config().keys;
        std::vector<size_t> dims;
        if (s.three_dimensional()) dims.push_back(static_cast<size_t>(s.nodes_z));
        dims.push_back(static_cast<size_t>(s.nodes_y));
        dims.push_back(static_cast<size_t>(s.nodes_x));
        if (components > 0) dims.push_back(static_cast<size_t>(components));
        return dims;
    }

    std::unique_ptr<lean::run> run_;
    std::mutex mutex_;
};

}  // namespace

NB_MODULE(_core, m)
{
    m.doc() = "The lean solver vdwflow in this process (use the vdwflow package).";
    m.def("keys_json", &lean::keys_json,
          "The parameter file's keys as JSON (what `vdwflow --keys` prints).");

    nb::class_<simulation>(m, "Core")
        .def(nb::init<std::string, std::string, std::string, nb::object, nb::object, nb::object,
                      nb::object, nb::object, std::string>(),
             nb::arg("text"), nb::arg("name"), nb::arg("folder"), nb::arg("density").none(),
             nb::arg("velocity_x").none(), nb::arg("velocity_y").none(),
             nb::arg("velocity_z").none(), nb::arg("solid").none(), nb::arg("checkpoint"))
        .def("step", &simulation::step, nb::arg("count"))
        .def("density", &simulation::density)
        .def("velocity", &simulation::velocity)
        .def("pressure", &simulation::pressure)
        .def("total_density", &simulation::total_density)
        .def("write_snapshot", &simulation::write_snapshot)
        .def("save_checkpoint", &simulation::save_checkpoint, nb::arg("path"))
        .def("close", &simulation::close)
        .def_prop_ro("step_count", &simulation::step_count)
        .def_prop_ro("tag", &simulation::tag)
        .def_prop_ro("is_open", &simulation::is_open);
}
