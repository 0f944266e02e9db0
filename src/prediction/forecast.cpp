// The forecast figure of each prediction id: forecast line, optional interval band, past
// values and a vertical marker line.
#include "api.hpp"
#include "figures/style.hpp"
#include "runtime/consts.hpp"

namespace sorvani {
namespace {

using namespace rt;

// The past values of one id as a line trace, in a one-element list.
Ref past_values(Line& at, Obj df_real, Obj id_pred_real, Obj data_real, Obj target, Obj id_pre) {
    at(93);
    Ref df_real_parz = rows_where(df_real, id_pred_real, id_pre);
    at(94);
    Ref scatter = getattr(global(S.go), S.Scatter);
    at(95);
    Ref x = getitem(df_real_parz, data_real);
    at(96);
    Ref y = getitem(df_real_parz, target);
    at(97);
    Ref marker = dict({{S.color, S.blue}});
    at(94);
    Ref trace = call(scatter, {},
                     {{S.x, x},
                      {S.y, y},
                      {S.marker, marker},
                      {S.mode, S.lines_mode},
                      {S.name, S.past_value},
                      {S.showlegend, Py_True}});
    return list({trace});
}

// The interval band: two transparent bound traces, lower first, the upper one filling down to
// it ("tonexty" fills towards the trace just before).
void add_band(Line& at, Obj self, Obj fig, Obj df_pred_parz) {
    at(126);
    Ref add_traces = getattr(fig, S.add_traces);
    at(128);
    Ref lower_type = getattr(global(S.go), S.Scatter);
    at(129);
    Ref x_lower = getitem(df_pred_parz, getattr(self, S.data));
    at(130);
    Ref y_lower = getitem(df_pred_parz, getattr(self, S.pi_lower));
    at(128);
    Ref lower = call(lower_type, {},
                     {{S.x, x_lower},
                      {S.y, y_lower},
                      {S.mode, S.lines_mode},
                      {S.line_color, S.transparent},
                      {S.showlegend, Py_False}});
    at(135);
    Ref upper_type = getattr(global(S.go), S.Scatter);
    at(136);
    Ref x_upper = getitem(df_pred_parz, getattr(self, S.data));
    at(137);
    Ref y_upper = getitem(df_pred_parz, getattr(self, S.pi_upper));
    at(135);
    Ref upper = call(upper_type, {},
                     {{S.x, x_upper},
                      {S.y, y_upper},
                      {S.mode, S.lines_mode},
                      {S.line_color, S.transparent},
                      {S.name, S.band_name},
                      {S.fill, S.tonexty},
                      {S.fillcolor, S.band_fill},
                      {S.showlegend, Py_True}});
    at(127);
    Ref band = list({lower, upper});
    at(126);
    call(add_traces, {band});
}

Ref plot_pred(Line& at, Obj self, Obj df_pred, Obj id_pred, Obj df_real, Obj id_pred_real,
              Obj data_real, Obj target, Obj confidence_interval, Obj vertical_line) {
    Ref lista_id;
    if (non_empty_text(id_pred)) {
        at(82);
        lista_id = list({id_pred});
    } else {
        at(84);
        lista_id = call_method(getitem(df_pred, getattr(self, S.id_pred)), S.unique);
    }
    at(86);
    Ref lista_fig = list({});
    Iter ids(at, 87, lista_id);
    while (Ref id_pre = ids.next()) {
        at(90);
        Ref df_pred_parz = rows_where(df_pred, getattr(self, S.id_pred), id_pre);
        at(92);
        Ref real;
        if (!df_real.is_none()) {
            real = past_values(at, df_real, id_pred_real, data_real, target, id_pre);
        } else {
            at(102);
            real = list({});
        }

        at(104);
        Ref line = getattr(global(S.px), S.line);
        at(106);
        Ref x = getattr(self, S.data);
        at(107);
        Ref y = getattr(self, S.pred_mean);
        at(108);
        Ref colors = list({S.green});
        at(109);
        Ref labels =
            dict({{getattr(self, S.data), S.empty},
                  {getattr(self, S.pred_mean), text({S.numero_, getattr(self, S.use_case)})}});
        at(110);
        Ref title = text({S.Predizione_, getattr(self, S.use_case), S.dash_sep, id_pre});
        Ref tmpl = title_template(at, 114, 115, 117);
        at(104);
        Ref fig = call(line, {df_pred_parz},
                       {{S.x, x},
                        {S.y, y},
                        {S.color_discrete_sequence, colors},
                        {S.labels, labels},
                        {S.title, title},
                        {S.width, N.i800},
                        {S.height, N.i500},
                        {S.template_, tmpl}});

        at(122);
        setattr(getitem(getattr(fig, S.data), 0), S.name, S.predict_value);
        at(123);
        call_method(fig, S.update_traces, {}, {{S.showlegend, Py_True}});
        at(125);
        if (truth(confidence_interval)) add_band(at, self, fig, df_pred_parz);
        if (non_empty_text(vertical_line)) {
            at(148);
            call_method(fig, S.add_vline, {vertical_line},
                        {{S.line_color, S.red}, {S.line_dash, S.dash}});
        }
        at(150);
        call_method(fig, S.add_traces, {real});
        at(152);
        Ref update_layout = getattr(fig, S.update_layout);
        Ref legend =
            dict({{S.yanchor, S.top}, {S.y, N.f0_99}, {S.xanchor, S.left}, {S.x, N.f0_01}});
        call(update_layout, {}, {{S.legend, legend}});
        at(154);
        append(lista_fig, fig);
    }
    return lista_fig;
}

constexpr Param params[] = {
    {.name = "self"},
    {.name = "df_pred", .annotation = "pd.DataFrame"},
    {.name = "id_pred", .annotation = "str", .fallback = Default::none, .test = Test::str_or_none},
    {.name = "df_real", .annotation = "pd.DataFrame", .fallback = Default::none},
    {.name = "id_pred_real",
     .annotation = "str",
     .fallback = Default::none,
     .test = Test::str_or_none},
    {.name = "data_real",
     .annotation = "str",
     .fallback = Default::none,
     .test = Test::str_or_none},
    {.name = "target", .annotation = "str", .fallback = Default::none, .test = Test::str_or_none},
    {.name = "confidence_interval", .annotation = "bool", .fallback = Default::false_},
    {.name = "vertical_line",
     .annotation = "str",
     .fallback = Default::none,
     .test = Test::str_or_none},
};

constexpr const char* locals[] = {"lista_id",     "lista_fig", "id_pre", "df_pred_parz",
                                  "df_real_parz", "real",      "fig"};

constexpr const char* doc =
    "Plot prediction\n"
    "\n"
    "        Parameters\n"
    "        ----------\n"
    "        df_pred : pd:DataFrame\n"
    "            dataframe of prediction\n"
    "        id_pred : str \n"
    "            id of prediction to be considered\n"
    "        df_real : pd.DataFrame\n"
    "            dataframe of real data\n"
    "        target : str\n"
    "            name column of real values\n"
    "\n"
    "        Results\n"
    "        -------\n"
    "        plotly.graph_objs._figure.Figure\n"
    "            plot prediction\n"
    "        ";

}  // namespace

const Spec plot_pred_spec = define<plot_pred, params>({
    .qualname = "plotPrediction.plot_pred",
    .first_line = 57,
    .returns = "plotly.graph_objs._figure.Figure",
    .locals = locals,
    .doc = doc,
});

}  // namespace sorvani
