// Residual diagnostics: a histogram of the forecast errors of each id, and a quantile-quantile
// plot of one id's residuals against a normal distribution.
#include "api.hpp"
#include "figures/style.hpp"
#include "runtime/consts.hpp"

namespace sorvani {
namespace {

using namespace rt;

Ref dist_residuals(Line& at, Obj self, Obj df_pred, Obj df_real, Obj id_pred_real, Obj target,
                   Obj id_pred) {
    Ref lista_id;
    if (non_empty_text(id_pred)) {
        at(285);
        lista_id = list({id_pred});
    } else {
        at(287);
        lista_id = call_method(getitem(df_pred, getattr(self, S.id_pred)), S.unique);
    }
    at(289);
    Ref lista_fig = list({});
    Iter ids(at, 290, lista_id);
    while (Ref id_pre = ids.next()) {
        at(292);
        Ref df_pred_parz = rows_where(df_pred, getattr(self, S.id_pred), id_pre);
        at(293);
        Ref df_real_parz = rows_where(df_real, id_pred_real, id_pre);
        // Forecast minus observed, aligned on the row labels.
        at(295);
        Ref forecast = getitem(df_pred_parz, getattr(self, S.pred_mean));
        Ref res = subtract(forecast, getitem(df_real_parz, target));
        at(297);
        Ref histogram = getattr(global(S.px), S.histogram);
        Ref tmpl = title_template(at, 302, 303, 305);
        at(297);
        Ref fig = call(histogram, {res},
                       {{S.title, S.Distribuzione_residui},
                        {S.width, N.i800},
                        {S.height, N.i500},
                        {S.template_, tmpl}});
        at(308);
        call_method(fig, S.update_layout, {},
                    {{S.xaxis_title, S.residual}, {S.showlegend, Py_False}});
        at(310);
        append(lista_fig, fig);
    }
    return lista_fig;
}

// Adds line `i` of the lines `qqplot` drew to `fig` as a scatter trace, with its marker or line
// (`style_key`) in `colour`.
void qq_trace(Line& at, int line, Obj fig, Obj qqplot_data, Py_ssize_t i, Obj mode, Obj style_key,
              Obj colour) {
    at(line);
    Ref add_trace = getattr(fig, S.add_trace);
    at(line + 2);
    Ref x = call_method(getitem(qqplot_data, i), S.get_xdata);
    at(line + 3);
    Ref y = call_method(getitem(qqplot_data, i), S.get_ydata);
    at(line + 6);
    Ref style = dict({{S.color, colour}});
    at(line + 1);
    Ref trace = dict({{S.type, S.scatter}, {S.x, x}, {S.y, y}, {S.mode, mode}, {style_key, style}});
    at(line);
    call(add_trace, {trace});
}

Ref plot_residuals(Line& at, Obj self, Obj df_pred, Obj df_real, Obj id_pred_real, Obj target,
                   Obj id_pred) {
    at(333);
    Ref df_pred_parz = rows_where(df_pred, getattr(self, S.id_pred), id_pred);
    at(334);
    Ref df_real_parz = rows_where(df_real, id_pred_real, id_pred);
    // Observed minus forecast, aligned on the row labels.
    at(335);
    Ref observed = getitem(df_real_parz, target);
    Ref res = subtract(observed, getitem(df_pred_parz, getattr(self, S.pred_mean)));
    at(337);
    Ref fig_matplot = call_method(global(S.plt), S.subplot);

    // The axes keeps the lines of earlier calls (it is never cleared); this call's two lines
    // are the ones that follow them, on the axes it drew on (whichever axes is current by then).
    at(338);
    const Py_ssize_t drawn_before = length(getattr(fig_matplot, S.lines));
    Ref qqplot = global(S.qqplot);
    Ref scale = call_method(res, S.std);
    call(qqplot, {res}, {{S.scale, scale}, {S.line, S.line_45}, {S.ax, fig_matplot}});
    Ref qqplot_data = getattr(fig_matplot, S.lines);

    at(340);
    Ref fig = call(getattr(global(S.go), S.Figure));
    qq_trace(at, 342, fig, qqplot_data, drawn_before, S.markers_mode, S.marker, S.qq_marker);
    qq_trace(at, 352, fig, qqplot_data, drawn_before + 1, S.lines_mode, S.line, S.qq_line);

    at(364);
    Ref update = getattr(getitem(fig, S.layout), S.update);
    at(367);
    Ref xaxis = dict({{S.title, S.qq_xtitle}, {S.zeroline, Py_False}});
    at(371);
    Ref yaxis = dict({{S.title, S.qq_ytitle}});
    Ref tmpl = title_template(at, 377, 378, 380);
    at(365);
    Ref settings = dict({{S.title, S.qq_title},
                         {S.xaxis, xaxis},
                         {S.yaxis, yaxis},
                         {S.showlegend, Py_False},
                         {S.width, N.i800},
                         {S.height, N.i700},
                         {S.template_, tmpl}});
    at(364);
    call(update, {settings});
    return fig;
}

constexpr Param params[] = {
    {.name = "self"},
    {.name = "df_pred", .annotation = "pd.DataFrame"},
    {.name = "df_real", .annotation = "pd.DataFrame"},
    {.name = "id_pred_real", .annotation = "str", .test = Test::str},
    {.name = "target", .annotation = "str", .test = Test::str},
    {.name = "id_pred", .annotation = "str", .fallback = Default::none, .test = Test::str_or_none},
};

constexpr const char* dist_locals[] = {"lista_id",     "lista_fig", "id_pre", "df_pred_parz",
                                       "df_real_parz", "res",       "fig"};
constexpr const char* qq_locals[] = {"df_pred_parz", "df_real_parz", "res",
                                     "fig_matplot",  "qqplot_data",  "fig"};

// clang-format off
#define RESIDUALS_DOC(first_line, returns)          \
    first_line "\n"                                 \
    "\n"                                            \
    "        Parameters\n"                          \
    "        ----------\n"                          \
    "        df_pred : dataframe of prediction\n"   \
    "        df_real : pd.DataFrame\n"              \
    "            dataframe of real data\n"          \
    "        target : str\n"                        \
    "            name column of real values\n"      \
    "        id_pred : str \n"                      \
    "            id of prediction to be considered\n" \
    "\n"                                            \
    "        Returns\n"                             \
    "        -------\n"                             \
    "        list\n"                                \
    "            " returns "\n"                     \
    "        "
// clang-format on

}  // namespace

const Spec dist_residuals_spec = define<dist_residuals, params>({
    .qualname = "plotPrediction.dist_residuals",
    .first_line = 264,
    .returns = "list",
    .locals = dist_locals,
    .doc = RESIDUALS_DOC("Plots distribution of residuals",
                         "list of figure for distribution plot of residuals"),
});

const Spec plot_residuals_spec = define<plot_residuals, params>({
    .qualname = "plotPrediction.plot_residuals",
    .first_line = 314,
    .returns = "list",
    .locals = qq_locals,
    .doc = RESIDUALS_DOC("Plots residuals", "list of figure for plot of residuals"),
});

}  // namespace sorvani
