// The plotter object's constructor: it keeps the five column names and the use-case label.
#include "api.hpp"
#include "runtime/consts.hpp"
#include "runtime/ops.hpp"

namespace sorvani {
namespace {

using namespace rt;

Ref init(Line& at, const Obj* a) {
    const Obj self = a[0];
    at(50);
    setattr(self, S.id_pred, a[1]);
    at(51);
    setattr(self, S.data, a[2]);
    at(52);
    setattr(self, S.pred_mean, a[3]);
    at(53);
    setattr(self, S.pi_lower, a[4]);
    at(54);
    setattr(self, S.pi_upper, a[5]);
    at(55);
    setattr(self, S.use_case, a[6]);
    return Ref::borrow(Py_None);
}

constexpr Param params[] = {
    {.name = "self"},
    {.name = "id_pred", .annotation = "str", .test = Test::str},
    {.name = "data", .annotation = "str", .test = Test::str},
    {.name = "pred_mean", .annotation = "str", .test = Test::str},
    {.name = "pi_lower", .annotation = "str", .test = Test::str},
    {.name = "pi_upper", .annotation = "str", .test = Test::str},
    {.name = "use_case", .annotation = "str", .test = Test::str},
};

}  // namespace

const Spec init_spec = {
    .name = "__init__",
    .qualname = "plotPrediction.__init__",
    .dotted_name = "sorvani_kb.datavisualization.plotPrediction.plotPrediction.__init__",
    .first_line = 48,
    .params = params,
    .returns = nullptr,
    .locals = {},
    .doc = nullptr,
    .body = init,
};

}  // namespace sorvani
