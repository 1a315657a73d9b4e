// korvo's haptic effects, from Python. Every setter builds a whole parameter
// set, checks it (ValueError naming the parameter) and publishes it at once;
// the servo thread picks it up at its next tick. Setters hold the
// interpreter lock throughout, so updates from several Python threads never
// interleave.

#include "Korvo/Haptics/Effects.h"

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <string>

#include "Native.h"

namespace py = pybind11;
using namespace py::literals;

namespace Korvo::Haptics::Python {

namespace {

double NumberFrom(const py::handle& value, const char* name) {
    try {
        return value.cast<double>();
    } catch (const py::cast_error&) {
        throw py::type_error(std::string(name) + " must be a number");
    }
}

// set(**kwargs) for an effect whose parameters are P: each keyword through
// `apply`, unknown ones refused, then the whole set checked and published.
template <class E, class Apply>
void SetFrom(E& effect, const py::kwargs& kwargs, Apply apply) {
    auto params = effect.GetParams();
    for (const auto& item : kwargs) {
        const std::string name = py::str(item.first);
        if (!apply(params, name, item.second)) throw py::type_error("unknown parameter '" + name + "'");
    }
    effect.SetParams(params);
}

#define KORVO_VECTOR(Type, field)                                                                            \
    def_property(                                                                                            \
        #field, [](const Type& e) { return Tuple(e.GetParams().field); },                                    \
        [](Type& e, const py::object& v) {                                                                   \
            auto p = e.GetParams();                                                                          \
            p.field = VectorFrom(v, #field);                                                                 \
            e.SetParams(p);                                                                                  \
        })
#define KORVO_NUMBER(Type, field)                                                                            \
    def_property(                                                                                            \
        #field, [](const Type& e) { return e.GetParams().field; },                                           \
        [](Type& e, const py::object& v) {                                                                   \
            auto p = e.GetParams();                                                                          \
            p.field = NumberFrom(v, #field);                                                                 \
            e.SetParams(p);                                                                                  \
        })
#define KORVO_FLAG(Type, field)                                                                              \
    def_property(                                                                                            \
        #field, [](const Type& e) { return e.GetParams().field; },                                           \
        [](Type& e, bool v) {                                                                                \
            auto p = e.GetParams();                                                                          \
            p.field = v;                                                                                     \
            e.SetParams(p);                                                                                  \
        })

// Each applies keyword `name` to one field of a parameter set when the name
// is that field's; false otherwise.
bool Vector(Vector3d& into, const std::string& name, const char* field, const py::handle& value) {
    if (name != field) return false;
    into = VectorFrom(value, field);
    return true;
}
bool Number(double& into, const std::string& name, const char* field, const py::handle& value) {
    if (name != field) return false;
    into = NumberFrom(value, field);
    return true;
}
bool Flag(bool& into, const std::string& name, const char* field, const py::handle& value) {
    if (name != field) return false;
    into = value.cast<bool>();
    return true;
}

constexpr const char* kSetDoc = "Changes several parameters at once: checked together, applied at the same tick.";

}  // namespace

void BindEffects(py::module_& m) {
    py::class_<Effect, std::shared_ptr<Effect>>(
        m, "Effect", "A force law evaluated on the servo thread every tick (see Servo.add).");

    auto constant = py::class_<Constant, Effect, std::shared_ptr<Constant>>(m, "Constant", "A constant force (N).")
        .def(py::init([](const py::object& force) { return std::make_shared<Constant>(Constant::Params{VectorFrom(force, "force")}); }),
             "force"_a = py::make_tuple(0.0, 0.0, 0.0))
        .KORVO_VECTOR(Constant, force)
        .def(
            "set",
            [](Constant& e, const py::kwargs& kw) {
                SetFrom(e, kw, [](Constant::Params& p, const std::string& n, const py::handle& v) {
                    return Vector(p.force, n, "force", v);
                });
            },
            kSetDoc)
        .def("__repr__", [](const Constant& e) { return py::str("Constant(force={})").format(Tuple(e.GetParams().force)); });
    RefuseMismatches(constant);

    auto damper = py::class_<Damper, Effect, std::shared_ptr<Damper>>(m, "Damper", "Viscosity: F = -viscosity * v (N s/m).")
        .def(py::init([](double viscosity) { return std::make_shared<Damper>(Damper::Params{viscosity}); }),
             "viscosity"_a = 0.0)
        .KORVO_NUMBER(Damper, viscosity)
        .def(
            "set",
            [](Damper& e, const py::kwargs& kw) {
                SetFrom(e, kw, [](Damper::Params& p, const std::string& n, const py::handle& v) {
                    return Number(p.viscosity, n, "viscosity", v);
                });
            },
            kSetDoc)
        .def("__repr__", [](const Damper& e) { return py::str("Damper(viscosity={})").format(e.GetParams().viscosity); });
    RefuseMismatches(damper);

    auto spring = py::class_<Spring, Effect, std::shared_ptr<Spring>>(
        m, "Spring",
        "A spring to a target point: F = stiffness (anchor - p) - damping v. The anchor starts where the arm is "
        "and moves toward the target at no more than max_speed (m/s), so a new target never makes the force jump.")
        .def(py::init([](const py::object& target, double stiffness, double damping, double max_speed) {
                 return std::make_shared<Spring>(
                     Spring::Params{VectorFrom(target, "target"), stiffness, damping, max_speed});
             }),
             "target"_a = py::make_tuple(0.0, 0.0, 0.0), "stiffness"_a = 0.0, "damping"_a = 0.0, "max_speed"_a = 0.1)
        .KORVO_VECTOR(Spring, target)
        .KORVO_NUMBER(Spring, stiffness)
        .KORVO_NUMBER(Spring, damping)
        .KORVO_NUMBER(Spring, max_speed)
        .def_property_readonly("anchor", [](const Spring& e) { return Tuple(e.Anchor()); },
                               "Where the spring pulls now, as the servo thread last moved it.")
        .def(
            "set",
            [](Spring& e, const py::kwargs& kw) {
                SetFrom(e, kw, [](Spring::Params& p, const std::string& n, const py::handle& v) {
                    return Vector(p.target, n, "target", v) || Number(p.stiffness, n, "stiffness", v) ||
                           Number(p.damping, n, "damping", v) || Number(p.max_speed, n, "max_speed", v);
                });
            },
            kSetDoc)
        .def("__repr__", [](const Spring& e) {
            const auto p = e.GetParams();
            return py::str("Spring(target={}, stiffness={}, damping={}, max_speed={})")
                .format(Tuple(p.target), p.stiffness, p.damping, p.max_speed);
        });
    RefuseMismatches(spring);

    auto plane = py::class_<Plane, Effect, std::shared_ptr<Plane>>(
        m, "Plane",
        "A one-sided wall through `point`; `normal` points out of it into free space (any non-zero length). "
        "Inside at depth d: F = max(0, stiffness d - damping (v . n)) n.")
        .def(py::init([](const py::object& point, const py::object& normal, double stiffness, double damping) {
                 return std::make_shared<Plane>(
                     Plane::Params{VectorFrom(point, "point"), VectorFrom(normal, "normal"), stiffness, damping});
             }),
             "point"_a = py::make_tuple(0.0, 0.0, 0.0), "normal"_a = py::make_tuple(0.0, 0.0, 1.0), "stiffness"_a = 0.0,
             "damping"_a = 0.0)
        .KORVO_VECTOR(Plane, point)
        .KORVO_VECTOR(Plane, normal)
        .KORVO_NUMBER(Plane, stiffness)
        .KORVO_NUMBER(Plane, damping)
        .def(
            "set",
            [](Plane& e, const py::kwargs& kw) {
                SetFrom(e, kw, [](Plane::Params& p, const std::string& n, const py::handle& v) {
                    return Vector(p.point, n, "point", v) || Vector(p.normal, n, "normal", v) ||
                           Number(p.stiffness, n, "stiffness", v) || Number(p.damping, n, "damping", v);
                });
            },
            kSetDoc)
        .def("__repr__", [](const Plane& e) {
            const auto p = e.GetParams();
            return py::str("Plane(point={}, normal={}, stiffness={}, damping={})")
                .format(Tuple(p.point), Tuple(p.normal), p.stiffness, p.damping);
        });
    RefuseMismatches(plane);

    auto sphere = py::class_<Sphere, Effect, std::shared_ptr<Sphere>>(
        m, "Sphere", "Keeps the end effector inside (inside=True) or outside a sphere, with a spring along the radius.")
        .def(py::init([](const py::object& center, double radius, double stiffness, double damping, bool inside) {
                 return std::make_shared<Sphere>(
                     Sphere::Params{VectorFrom(center, "center"), radius, stiffness, damping, inside});
             }),
             "center"_a = py::make_tuple(0.0, 0.0, 0.0), "radius"_a = 0.05, "stiffness"_a = 0.0, "damping"_a = 0.0,
             "inside"_a = true)
        .KORVO_VECTOR(Sphere, center)
        .KORVO_NUMBER(Sphere, radius)
        .KORVO_NUMBER(Sphere, stiffness)
        .KORVO_NUMBER(Sphere, damping)
        .KORVO_FLAG(Sphere, inside)
        .def(
            "set",
            [](Sphere& e, const py::kwargs& kw) {
                SetFrom(e, kw, [](Sphere::Params& p, const std::string& n, const py::handle& v) {
                    return Vector(p.center, n, "center", v) || Number(p.radius, n, "radius", v) ||
                           Number(p.stiffness, n, "stiffness", v) || Number(p.damping, n, "damping", v) ||
                           Flag(p.inside, n, "inside", v);
                });
            },
            kSetDoc);
    RefuseMismatches(sphere);

    auto box = py::class_<Box, Effect, std::shared_ptr<Box>>(
        m, "Box", "Keeps the end effector inside (inside=True) or outside an axis-aligned box from `min` to `max`.")
        .def(py::init([](const py::object& lo, const py::object& hi, double stiffness, double damping, bool inside) {
                 return std::make_shared<Box>(Box::Params{VectorFrom(lo, "min"), VectorFrom(hi, "max"), stiffness, damping, inside});
             }),
             "min"_a = py::make_tuple(-0.05, -0.05, -0.05), "max"_a = py::make_tuple(0.05, 0.05, 0.05),
             "stiffness"_a = 0.0, "damping"_a = 0.0, "inside"_a = true)
        .KORVO_VECTOR(Box, min)
        .KORVO_VECTOR(Box, max)
        .KORVO_NUMBER(Box, stiffness)
        .KORVO_NUMBER(Box, damping)
        .KORVO_FLAG(Box, inside)
        .def(
            "set",
            [](Box& e, const py::kwargs& kw) {
                SetFrom(e, kw, [](Box::Params& p, const std::string& n, const py::handle& v) {
                    return Vector(p.min, n, "min", v) || Vector(p.max, n, "max", v) ||
                           Number(p.stiffness, n, "stiffness", v) || Number(p.damping, n, "damping", v) ||
                           Flag(p.inside, n, "inside", v);
                });
            },
            kSetDoc);
    RefuseMismatches(box);
}

}  // namespace Korvo::Haptics::Python
