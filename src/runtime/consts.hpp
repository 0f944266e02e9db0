// Interned names, text literals and numbers, made once at start-up and reused by every call.
//
// Each entry lives for the rest of the process (like CPython's own interned strings): the
// table holds one reference to it and is never torn down, so the members are plain pointers.
#pragma once

#include "ref.hpp"

namespace rt {

// Names whose text is the identifier itself: attributes, keywords, parameters, globals.
// clang-format off
#define RT_NAMES(X)                                                                      \
    X(np) X(pd) X(plt) X(qqplot) X(plotly) X(px)                                         \
    X(go) X(obtain_dataset) X(plotPrediction) X(__test__) X(__builtins__) X(__module__)  \
    X(__qualname__) X(__doc__) X(__loader__) X(__file__) X(__path__) X(__spec__)         \
    X(_initializing) X(loader) X(origin) X(parent) X(submodule_search_locations) X(name) \
    X(range) X(id_pred) X(data) X(pred_mean) X(pi_lower) X(pi_upper)                     \
    X(use_case) X(shape) X(unique) X(index) X(split) X(count)                            \
    X(iloc) X(copy) X(deep) X(line) X(Scatter) X(Figure)                                 \
    X(Layout) X(add_traces) X(add_trace) X(add_vline) X(update_traces) X(update_layout)  \
    X(histogram) X(concat) X(sum) X(values) X(std) X(ndim)                               \
    X(subplot) X(lines) X(get_xdata) X(get_ydata) X(update) X(replace)                   \
    X(co_varnames) X(co_argcount) X(co_nlocals) X(co_flags) X(co_qualname) X(co_code)    \
    X(co_consts) X(co_stacksize) X(x) X(y) X(mode) X(marker)                             \
    X(color) X(line_color) X(line_dash) X(fill) X(fillcolor) X(showlegend)               \
    X(color_discrete_sequence) X(labels) X(title) X(width) X(height) X(layout)           \
    X(title_font) X(family) X(size) X(title_x) X(font) X(legend)                         \
    X(yanchor) X(xanchor) X(yaxis_title) X(xaxis_title) X(text) X(axis)                  \
    X(scale) X(ax) X(type) X(xaxis) X(yaxis) X(zeroline)                                 \
    X(__package__) X(startswith) X(__init__)

// Texts used by the figures and the hierarchy splitter.
#define RT_TEXTS(X)                                                       \
    X(template_, "template")                                              \
    X(empty, "")                                                          \
    X(slash, "/")                                                         \
    X(Italia, "Italia")                                                   \
    X(lines_mode, "lines")                                                \
    X(markers_mode, "markers")                                            \
    X(green, "green")                                                     \
    X(blue, "blue")                                                       \
    X(red, "red")                                                         \
    X(dash, "dash")                                                       \
    X(gray, "gray")                                                       \
    X(Rockwell, "Rockwell")                                               \
    X(transparent, "rgba(0,0,0,0)")                                       \
    X(band_name, "95% confidence interval")                               \
    X(tonexty, "tonexty")                                                 \
    X(band_fill, "rgba(124, 252, 0, 0.2)")                                \
    X(past_value, "past value (true)")                                    \
    X(predict_value, "predict value")                                     \
    X(Predizione_, "Predizione ")                                         \
    X(numero_, "numero ")                                                 \
    X(dash_sep, " - ")                                                    \
    X(Predizione_gerarchia_, "Predizione gerarchia ")                     \
    X(Predizione_gerarchia_aggregata_, "Predizione gerarchia aggregata ") \
    X(Somma_predizioni_, "Somma predizioni ")                             \
    X(plotly_white, "plotly_white")                                       \
    X(top, "top")                                                         \
    X(left, "left")                                                       \
    X(bottom, "bottom")                                                   \
    X(Distribuzione_residui, "Distribuzione residui")                     \
    X(residual, "residual")                                               \
    X(line_45, "45")                                                      \
    X(scatter, "scatter")                                                 \
    X(qq_marker, "#19d3f3")                                               \
    X(qq_line, "#636efa")                                                 \
    X(qq_title, "Quantile-Quantile Plot")                                 \
    X(qq_xtitle, "Theoritical Quantities")                                \
    X(qq_ytitle, "Sample Quantities")                                     \
    X(module_name, "sorvani_kb.datavisualization.plotPrediction")
// clang-format on

struct Strings {
#define RT_NAME_MEMBER(id) PyObject* id;
#define RT_TEXT_MEMBER(id, text) PyObject* id;
    RT_NAMES(RT_NAME_MEMBER)
    RT_TEXTS(RT_TEXT_MEMBER)
#undef RT_NAME_MEMBER
#undef RT_TEXT_MEMBER
};

struct Numbers {
    PyObject* f0_01;
    PyObject* f0_99;
    PyObject* f_minus0_5;
    PyObject* i0;
    PyObject* i1;
    PyObject* i24;
    PyObject* i500;
    PyObject* i700;
    PyObject* i800;
    PyObject* from_1;  // the slice [1:]
    PyObject* empty_tuple;
};

extern Strings S;
extern Numbers N;

// Makes every constant; does nothing when they exist already. Returns -1 with an exception set.
int init_constants() noexcept;

}  // namespace rt
