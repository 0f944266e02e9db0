/* The table of every member under the chosen model: DataTables, as the itables package ships it,
 * loaded from the page once the browser has read it; sorted by any column, searched by id. */
/* global META, GROUPED, IDS, MEASURES, $, state, esc, fmt, arrived, bytesOf, depthOf, loadModel, loadMeasures, link,
   levelName, memberCount */
/* exported buildTable, sortWorst */

let tableModule = null;

function tableLibrary() {
  if (tableModule === null) tableModule = arrived(META.blocks).then(() => {
    const bytes = bytesOf(document.getElementById('sorvani-datatables').textContent);
    return import(URL.createObjectURL(new Blob([bytes], {type: 'text/javascript'})));
  });
  return tableModule;
}

// The table's columns: the id (a link), its level and number of sub-members, and each measure,
// sorted worst first in its direction and last where it has no value.
function tableColumns() {
  const numeric = (m) => ({
    title: esc(m.label), className: 'num', type: 'num', searchable: false,
    render: (v, type) => {
      if (type === 'display') return fmt(v, m.unit);
      if (Number.isFinite(v)) return m.worst === 'abs' ? Math.abs(v) : v;
      return m.worst === 'low' ? Infinity : -Infinity;  // no value: last when sorted worst first
    },
  });
  return [
    {title: 'id', render: (g, type) => (type === 'display' ? link(g, state.mi) : IDS[g])},
    GROUPED ? {title: 'level', searchable: false} : {title: 'level', className: 'num', type: 'num', searchable: false},
    {title: 'sub-members', className: 'num', type: 'num', searchable: false},
  ].concat(MEASURES.map(numeric));
}

async function buildTable(mi) {
  const [lib, gid, cols] = await Promise.all([tableLibrary(), loadModel(mi), loadMeasures(mi)]);
  const DataTable = lib.default;
  const data = gid.map((g, r) => [g, GROUPED ? levelName(g) : depthOf[g], memberCount(g)].concat(cols.map((c) => c[r])));
  const box = $('table-box');
  if (state.table) { state.table.destroy(); state.table = null; }
  box.innerHTML = '<table id="members" class="display compact" style="width:100%"></table>';
  state.table = new DataTable('#members', {
    data, columns: tableColumns(), deferRender: true, pageLength: 25, order: [[0, 'asc']], autoWidth: false,
    language: {search: 'Search ids:'},
    headerCallback: (thead) => {
      thead.querySelectorAll('th').forEach((th, i) => { if (i >= 3) th.title = MEASURES[i - 3].help; });
    },
  });
  state.tableModel = mi;
  document.body.dataset.table = META.models[mi].name;
}

// Sorts the table by a measure, worst first, and scrolls to it.
function sortWorst(key) {
  const j = MEASURES.findIndex((m) => m.key === key);
  if (!state.table || j < 0) return;
  state.table.order([3 + j, MEASURES[j].worst === 'low' ? 'asc' : 'desc']).draw();
  $('table-box').scrollIntoView();
}
