// The hierarchy splitter: relabels a prediction frame block by block and keeps the frames of
// one hierarchy member and of its direct sub-members.
#include "api.hpp"
#include "runtime/consts.hpp"
#include "runtime/ops.hpp"
#include "runtime/state.hpp"

namespace sorvani {
namespace {

using namespace rt;

// Number of distinct ids: `df[id_pred].unique().shape[0]`.
Ref distinct_ids(Obj df, Obj id_pred) {
    Ref ids = call_method(getitem(df, id_pred), S.unique);
    return getitem(getattr(ids, S.shape), 0);
}

// The id of a block frame as its first distinct value: `x[id_pred].unique()[0]`.
Ref first_unique_id(Obj frame, Obj id_pred) {
    Ref ids = call_method(getitem(frame, id_pred), S.unique);
    return getitem(ids, 0);
}

// `id.count("/")`.
Ref levels(Obj id) {
    return call_method(id, S.count, {S.slash});
}

// The k frames of n consecutive rows each: `[df.iloc[i * n:(i + 1) * n] for i in range(k)]`.
// The frame holds exactly k blocks of n rows once relabelled, so cutting by position gives the
// same frames as splitting it into k sections.
Ref cut_blocks(Obj df, Obj blocks, Obj block_rows) {
    const Py_ssize_t k = as_ssize(blocks);
    const Py_ssize_t n = as_ssize(block_rows);
    Ref split = list({});
    for (Py_ssize_t i = 0; i < k; ++i) {
        Ref start = from_ssize(i * n);
        Ref stop = from_ssize((i + 1) * n);
        Ref rows = Ref::check(PySlice_New(start.get(), stop.get(), nullptr));
        append(split, getitem(getattr(df, S.iloc), rows));
    }
    return split;
}

Ref obtain_dataset(Line& at, Obj df, Obj gerarchia, Obj id_pred) {
    at(28);
    Ref rows = getitem(getattr(df, S.shape), 0);
    Ref n = to_int(true_divide(rows, distinct_ids(df, id_pred)));
    Ref labels = Ref::check(PySequence_List(call(M.range, {n}).get()));
    setattr(df, S.index, multiply(labels, distinct_ids(df, id_pred)));

    at(30);
    Ref result = list({});
    if (equal(gerarchia, S.Italia)) {
        at(31);
        Ref n_level =
            subtract(from_ssize(length(call_method(gerarchia, S.split, {S.slash}))), N.i1);
        at(32);
        Ref split = cut_blocks(df, distinct_ids(df, id_pred), n);
        at(33);
        for (Obj x : items(split)) {
            Ref count = levels(first_unique_id(x, id_pred));
            if (equal(count, n_level) || equal(count, add(n_level, N.i1))) append(result, x);
        }
    } else {
        at(35);
        Ref n_level = from_ssize(length(call_method(gerarchia, S.split, {S.slash})));
        at(36);
        Ref split = cut_blocks(df, distinct_ids(df, id_pred), n);
        at(38);
        Ref select = list({});
        for (Obj x : items(split)) {
            Ref count = levels(first_unique_id(x, id_pred));
            Ref within = Ref::check(PyObject_RichCompare(count.get(), n_level.get(), Py_LE));
            if (truth(within)) append(select, x);
        }
        // The member itself and the members below it: an id equal to `gerarchia` or starting
        // with `gerarchia` and a "/" (so "Italia/AB" is no member of "Italia/A").
        at(39);
        Ref prefix = add(gerarchia, S.slash);
        for (Obj x : items(select)) {
            Ref id = getitem(getitem(x, id_pred), 0);
            if (equal(id, gerarchia) || truth(call_method(id, S.startswith, {prefix}))) {
                append(result, x);
            }
        }
    }
    return result;
}

constexpr Param params[] = {
    {.name = "df", .annotation = "pd.DataFrame"},
    {.name = "gerarchia", .annotation = "str", .test = Test::str},
    {.name = "id_pred", .annotation = "str", .test = Test::str},
};

constexpr const char* locals[] = {"n_level", "split", "select", "result"};

constexpr const char* doc =
    "generate list of prediction dataframe for gerarchy specified\n"
    "\n"
    "    df : pd.DataFrame\n"
    "        prediction dataframe\n"
    "    gerarchia : str\n"
    "        hierarchy selected\n"
    "    id_pred : str\n"
    "        name of id pred column\n"
    "\n"
    "    Returns\n"
    "    -------\n"
    "    _type_\n"
    "        _description_\n"
    "    ";

}  // namespace

const Spec obtain_dataset_spec = define<obtain_dataset, params>({
    .qualname = "obtain_dataset",
    .first_line = 11,
    .locals = locals,
    .doc = doc,
});

}  // namespace sorvani
