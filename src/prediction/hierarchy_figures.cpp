// The figures of one hierarchy level: every member's forecast in one figure, and the
// aggregate's forecast against the sum of its members' forecasts.
#include "api.hpp"
#include "runtime/consts.hpp"

namespace sorvani {
namespace {

using namespace rt;

// `obtain_dataset(df_pred.copy(deep=False), gerarchia, self.id_pred)`. The splitter relabels
// the frame it is given; a shallow copy (sharing the data) keeps the caller's index as it was.
Ref member_frames(Line& at, int line, Obj self, Obj df_pred, Obj gerarchia) {
    at(line);
    Ref obtain_dataset = global(S.obtain_dataset);
    Ref frame = call_method(df_pred, S.copy, {}, {{S.deep, Py_False}});
    Ref id_pred = getattr(self, S.id_pred);
    return call(obtain_dataset, {frame, gerarchia, id_pred});
}

// `go.Figure(layout={...})` with the hierarchy figures' layout. `line` is that of the call;
// the keyword mapping, the layout mapping and its entries follow on the next seven lines.
Ref hierarchy_figure(Line& at, int line, Obj self, Obj title_prefix, Obj legend_yanchor,
                     Obj legend_y, Obj legend_x) {
    at(line);
    Ref figure = getattr(global(S.go), S.Figure);
    at(line + 3);
    Ref title_font = dict({{S.family, S.Rockwell}, {S.size, N.i24}, {S.color, S.gray}});
    at(line + 4);
    Ref font = dict({{S.color, S.green}});
    at(line + 5);
    Ref title = dict({{S.text, text({title_prefix, getattr(self, S.use_case)})}});
    at(line + 6);
    Ref legend =
        dict({{S.yanchor, legend_yanchor}, {S.y, legend_y}, {S.xanchor, S.left}, {S.x, legend_x}});
    at(line + 7);
    Ref yaxis_title = text({S.numero_, getattr(self, S.use_case)});
    at(line + 2);
    Ref layout = dict({{S.template_, S.plotly_white},
                       {S.title_font, title_font},
                       {S.font, font},
                       {S.title, title},
                       {S.legend, legend},
                       {S.yaxis_title, yaxis_title}});
    at(line);
    return call(figure, {}, {{S.layout, layout}});
}

Ref plot_hierarchical(Line& at, Obj self, Obj df_pred, Obj gerarchia) {
    Ref lista_df_pred = member_frames(at, 173, self, df_pred, gerarchia);
    Ref fig =
        hierarchy_figure(at, 175, self, S.Predizione_gerarchia_, S.bottom, N.i0, N.f_minus0_5);

    at(186);
    Ref list_fig = list({});
    Iter frames(at, 194, lista_df_pred);
    while (Ref pred = frames.next()) {
        at(187);
        Ref scatter = getattr(global(S.go), S.Scatter);
        at(188);
        Ref x = getitem(pred, getattr(self, S.data));
        at(189);
        Ref y = getitem(pred, getattr(self, S.pred_mean));
        at(191);
        Ref name = getitem(getitem(pred, getattr(self, S.id_pred)), 0);
        at(187);
        Ref trace = call(
            scatter, {},
            {{S.x, x}, {S.y, y}, {S.mode, S.lines_mode}, {S.name, name}, {S.showlegend, Py_True}});
        at(186);
        append(list_fig, trace);
    }
    at(200);
    call_method(fig, S.add_traces, {list_fig});
    return fig;
}

// One line trace of the sum-check figure, over the aggregate's dates: the aggregate's forecast,
// or, given `tot_hier_pred`, its plain array of sums.
Ref sum_check_trace(Line& at, int line, Obj self, Obj df_pred_tot, Obj tot_hier_pred, Obj colour,
                    Obj name_prefix) {
    at(line);
    Ref scatter = getattr(global(S.go), S.Scatter);
    at(line + 1);
    Ref x = getitem(df_pred_tot, getattr(self, S.data));
    at(line + 2);
    Ref y = tot_hier_pred ? getattr(tot_hier_pred, S.values)
                          : getitem(df_pred_tot, getattr(self, S.pred_mean));
    at(line + 3);
    Ref marker = dict({{S.color, colour}});
    at(line + 5);
    Ref name = text({name_prefix, getitem(getitem(df_pred_tot, getattr(self, S.id_pred)), 0)});
    at(line);
    return call(scatter, {},
                {{S.x, x},
                 {S.y, y},
                 {S.marker, marker},
                 {S.mode, S.lines_mode},
                 {S.name, name},
                 {S.showlegend, Py_True}});
}

Ref plot_sum_hierarchy(Line& at, Obj self, Obj df_pred, Obj gerarchia) {
    Ref lista_df_pred = member_frames(at, 223, self, df_pred, gerarchia);
    at(225);
    Ref df_pred_tot = getitem(lista_df_pred, 0);
    at(226);
    lista_df_pred = getitem(lista_df_pred, N.from_1);

    at(228);
    Ref concat = getattr(global(S.pd), S.concat);
    Ref members = call(concat, {lista_df_pred}, {{S.axis, N.i1}});
    Ref forecasts = getitem(members, getattr(self, S.pred_mean));
    // With a single member the selection is one column, which pandas gives as a series: that
    // member's forecast is the sum.
    Ref tot_hier_pred = equal(getattr(forecasts, S.ndim), N.i1)
                            ? forecasts
                            : call_method(forecasts, S.sum, {}, {{S.axis, N.i1}});

    Ref fig =
        hierarchy_figure(at, 230, self, S.Predizione_gerarchia_aggregata_, S.top, N.f0_99, N.f0_01);
    at(241);
    Ref add_traces = getattr(fig, S.add_traces);
    Ref aggregate = sum_check_trace(at, 243, self, df_pred_tot, nullptr, S.green, S.Predizione_);
    Ref total =
        sum_check_trace(at, 251, self, df_pred_tot, tot_hier_pred, S.blue, S.Somma_predizioni_);
    at(242);
    Ref traces = list({aggregate, total});
    at(241);
    call(add_traces, {traces});
    return fig;
}

constexpr Param params[] = {
    {.name = "self"},
    {.name = "df_pred", .annotation = "pd.DataFrame"},
    {.name = "gerarchia", .annotation = "str", .test = Test::str},
};

constexpr const char* hierarchical_locals[] = {"lista_df_pred", "fig", "list_fig", "pred"};
constexpr const char* sum_locals[] = {"lista_df_pred", "df_pred_tot", "tot_hier_pred", "fig"};

constexpr const char* hierarchical_doc =
    "Plot a set of hierarchical time series\n"
    "\n"
    "        Parameters\n"
    "        ----------\n"
    "        lista_df_pred : list\n"
    "            list of dataframe of prediction for the low level of hierarchy\n"
    "\n"
    "        Returns\n"
    "        -------\n"
    "        plotly.graph_objs._figure.Figure\n"
    "            plot a set hierarchical time series\n"
    "        ";

constexpr const char* sum_doc =
    "Plot sum of hierarchical time series\n"
    "\n"
    "        Parameters\n"
    "        ----------\n"
    "        df_pred : pd.DataFrame\n"
    "            dataframe of high level of hierarchy\n"
    "        lista_df_pred : list\n"
    "            list of dataframe of prediction for the low level of hierarchy\n"
    "        livello : str\n"
    "            name of low level hierarchy\n"
    "\n"
    "        Returns\n"
    "        -------\n"
    "        plotly.graph_objs._figure.Figure\n"
    "            plot of sum hierarchical time series\n"
    "        ";

}  // namespace

const Spec plot_hierarchical_spec = define<plot_hierarchical, params>({
    .qualname = "plotPrediction.plot_hierarchical",
    .first_line = 158,
    .locals = hierarchical_locals,
    .doc = hierarchical_doc,
});

const Spec plot_sum_hierarchy_spec = define<plot_sum_hierarchy, params>({
    .qualname = "plotPrediction.plot_sum_hierarchy",
    .first_line = 204,
    .locals = sum_locals,
    .doc = sum_doc,
});

}  // namespace sorvani
