// The plotter object's constructor: it keeps the five column names and the use-case label.
#include "api.hpp"
#include "runtime/consts.hpp"
#include "runtime/ops.hpp"

namespace sorvani {
namespace {

using namespace rt;

// Each store goes through the object's own attribute protocol, so a subclass's __setattr__ or
// a descriptor on the class sees it.
Ref init(Line& at, Obj self, Obj id_pred, Obj data, Obj pred_mean, Obj pi_lower, Obj pi_upper,
         Obj use_case) {
    at(50);
    setattr(self, S.id_pred, id_pred);
    at(51);
    setattr(self, S.data, data);
    at(52);
    setattr(self, S.pred_mean, pred_mean);
    at(53);
    setattr(self, S.pi_lower, pi_lower);
    at(54);
    setattr(self, S.pi_upper, pi_upper);
    at(55);
    setattr(self, S.use_case, use_case);
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

const Spec init_spec = define<init, params>({
    .qualname = "plotPrediction.__init__",
    .first_line = 48,
});

}  // namespace sorvani
