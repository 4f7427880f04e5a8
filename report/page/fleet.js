(function () {
  function key(row, column) {
    var cell = row.cells[column];
    return cell.hasAttribute('data-sort') ? cell.getAttribute('data-sort') : cell.textContent;
  }
  // A long table's rows stand in blocks, one table each (the first with the
  // head): sorting and filtering act on the rows of every block.
  function bodiesOf(table) {
    return Array.prototype.slice.call(table.closest('.blocks').querySelectorAll('tbody'));
  }
  function rowsOf(table) {
    return bodiesOf(table).reduce(function (rows, body) { return rows.concat(Array.prototype.slice.call(body.rows)); }, []);
  }
  function sortBy(table, column, order) {
    var headers = table.tHead.rows[0].cells;
    for (var i = 0; i < headers.length; i++) headers[i].setAttribute('aria-sort', i === column ? order : 'none');
    var bodies = bodiesOf(table), sizes = bodies.map(function (body) { return body.rows.length; });
    var keyed = rowsOf(table).map(function (row) { return [key(row, column), row]; });
    var numeric = keyed.every(function (k) { return k[0] !== '' && !isNaN(k[0]); });
    keyed.sort(function (a, b) {
      var x = numeric ? Number(a[0]) - Number(b[0]) : a[0].localeCompare(b[0]);
      return order === 'descending' ? -x : x;
    });
    var next = 0;
    bodies.forEach(function (body, b) {
      var fragment = document.createDocumentFragment();
      keyed.slice(next, next + sizes[b]).forEach(function (k) { fragment.appendChild(k[1]); });
      next += sizes[b];
      body.appendChild(fragment);
    });
  }
  Array.prototype.forEach.call(document.querySelectorAll('table.sortable'), function (table) {
    Array.prototype.forEach.call(table.tHead.rows[0].cells, function (th, column) {
      th.firstChild.addEventListener('click', function () {
        sortBy(table, column, th.getAttribute('aria-sort') === 'ascending' ? 'descending' : 'ascending');
      });
    });
  });
  var hosts = document.getElementById('hosts'), text = document.getElementById('filter-text'),
      state = document.getElementById('filter-state');
  function filter() {
    var wanted = text.value.toLowerCase(), only = state.value;
    rowsOf(hosts).forEach(function (row) {
      row.hidden = (wanted && row.textContent.toLowerCase().indexOf(wanted) < 0)
                   || (only && row.cells[1].textContent !== only);
    });
  }
  text.addEventListener('input', filter);
  state.addEventListener('change', filter);
  // #sort=0-descending and #filter=text, alone or joined by &, for a link to a view.
  var asked = /(?:^#|&)sort=(\d+)-(ascending|descending)(?:&|$)/.exec(location.hash);
  if (asked && Number(asked[1]) < hosts.tHead.rows[0].cells.length) sortBy(hosts, Number(asked[1]), asked[2]);
  var looked = /(?:^#|&)filter=([^&]*)/.exec(location.hash);
  if (looked) {
    text.value = decodeURIComponent(looked[1]);
    filter();
  }
})();
