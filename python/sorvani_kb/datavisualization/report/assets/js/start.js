/* Sets the page going; `window.sorvani` is what the page's tests and benchmark read. */
/* global META, IDS, readAll, lookup, modelIndex, memberFigures, drawn, sortWorst, state, setup, route, fail */

window.sorvani = {
  meta: META,
  ids: IDS,
  // The figures the page draws for `id` under the model named `model`, as given to Plotly.
  figures: async (model, id, window) => {
    const g = lookup(id);
    if (g === undefined) return null;
    const f = await memberFigures(modelIndex(model, window), g);
    delete f.why;
    return f;
  },
  drawn: () => drawn,
  // A stored array as the page decodes it.
  array: (name) => readAll(name),
  sortWorst,
  table: () => state.table,
};

setup();
window.sorvani.ready = route().catch(fail);
