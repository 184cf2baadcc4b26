// Draws the report held in #report-data. Every text from the report goes
// into the page as text (textContent, text nodes, canvas labels), never as
// markup: topic names and GUIDs are data.
'use strict';
(function () {
  const data = JSON.parse(document.getElementById('report-data').textContent);
  const root = document.getElementById('report');
  const charts = [];
  // Whole seconds, so that the last tick is a round number too.
  const fullRange = { min: 0, max: Math.max(Math.ceil(data.endT), 1) };

  // One colour per drawn writer (at most 8, the rest are folded into "other writers", drawn in grey).
  const WRITER_COLOURS = ['#1f77b4', '#d62728', '#2ca02c', '#9467bd', '#ff7f0e', '#17becf', '#8c564b', '#e377c2',
    '#bcbd22'];
  const OTHER_COLOUR = '#7f7f7f';
  const MAX_EVENT_LINES = 50;
  const EVENT_KINDS = [
    ['subscription_matched', 'matched', '#2ca02c'],
    ['subscription_unmatched', 'unmatched', '#7f7f7f'],
    ['liveliness_lost', 'liveliness lost', '#ff7f0e'],
    ['liveliness_regained', 'liveliness regained', '#17becf'],
    ['requested_deadline_missed', 'deadline missed', '#9467bd'],
    ['requested_incompatible_qos', 'incompatible QoS', '#d62728'],
    ['sample_lost', 'sample lost', '#8c564b'],
    ['sample_rejected', 'sample rejected', '#e377c2'],
  ];
  const EVENT_DETAIL_SKIP = new Set(['time', 't', 'event']);

  function el(tag, props, ...children) {
    const node = document.createElement(tag);
    Object.assign(node, props || {});
    for (const child of children) {
      if (child !== null && child !== undefined) {
        node.append(child instanceof Node ? child : String(child));
      }
    }
    return node;
  }

  function text(value) {
    if (value === null || value === undefined) return '—';
    if (Array.isArray(value) && value.every((item) => typeof item !== 'object')) return list(value);
    return typeof value === 'string' ? value : JSON.stringify(value);
  }

  function table(rows, className) {
    const body = el('tbody');
    for (const [name, value] of rows) {
      body.append(el('tr', {}, el('th', {}, name), el('td', {}, text(value))));
    }
    return el('table', { className: className || '' }, body);
  }

  // One header row of names, one row of values.
  function wideTable(entries, className) {
    return el('table', { className }, el('thead', {}, el('tr', {}, ...entries.map(([name]) => el('th', {}, name)))),
      el('tbody', {}, el('tr', {}, ...entries.map(([, value]) => el('td', { className: 'number' }, text(value))))));
  }

  function list(values) {
    if (!Array.isArray(values)) return values === null || values === undefined ? 'none' : JSON.stringify(values);
    return values.length ? values.join(', ') : 'none';
  }

  // Which event kind a record is; liveliness changes split by direction.
  function eventKind(event) {
    if (event.event === 'liveliness_changed') {
      // A writer that leaves without a lease expiry only lowers the alive count.
      const lost = (event.not_alive_count_change || 0) > 0 || (event.alive_count_change || 0) < 0;
      return lost ? 'liveliness_lost' : 'liveliness_regained';
    }
    return event.event;
  }

  function eventDetail(event, writerNames) {
    const parts = [];
    for (const [key, value] of Object.entries(event)) {
      if (EVENT_DETAIL_SKIP.has(key)) continue;
      parts.push(key === 'writer' && writerNames.has(value) ? `writer: ${writerNames.get(value)} (${value})`
        : `${key}: ${text(value)}`);
    }
    return parts.join(', ');
  }

  // "4 ids", "1 id".
  function count(n, noun) {
    return `${n} ${noun}${n === 1 ? '' : 's'}`;
  }

  // The time of the first record at which a cumulative series is above 0.
  function firstAbove(t, values) {
    if (!t || !values) return null;
    const i = values.findIndex((value) => value > 0);
    return i < 0 ? null : t[i];
  }

  const seconds = (t) => `${Number(t).toFixed(1)} s`;

  // Why ids are missing: the sequence numbers tell loss in the middleware from ids the publisher never wrote.
  function missingCause(record) {
    const missing = record.missing_ids;
    const skipped = Math.min(record.publisher_skipped || 0, missing);
    if (skipped === missing) return 'publisher skipped';
    if (skipped === 0) return 'lost by the middleware';
    return `${missing - skipped} lost by the middleware, ${skipped} skipped by the publisher`;
  }

  // What went wrong, in words, reader by reader and writer by writer; each finding is [text, id of the chart that
  // shows it]. The counts are those of the latest records, so they equal the tables below.
  function findingsOf(reader, r) {
    const out = [];
    const chart = (name) => `reader-${r}-${name}`;
    const writers = reader.writers;
    const matchedAt = new Map();
    for (const event of reader.events) {
      if (event.event === 'subscription_matched' && event.writer && !matchedAt.has(event.writer)) {
        matchedAt.set(event.writer, event.t);
      }
    }
    writers.forEach((writer, i) => {
      const record = writer.latest;
      const who = `${reader.topic}, writer ${i + 1}`;
      if (record.missing_ids > 0) {
        const first = firstAbove(writer.t, writer.missing);
        out.push([`${who}: ${count(record.missing_ids, 'id')} missing (${missingCause(record)})` +
          (first === null ? '' : `, first at ${seconds(first)}`), chart('missing')]);
      } else if (record.middleware_lost > 0) {
        const first = firstAbove(writer.t, writer.middleware);
        out.push([`${who}: ${count(record.middleware_lost, 'sample')} lost by the middleware` +
          (first === null ? '' : `, first at ${seconds(first)}`), chart('missing')]);
      }
      if (record.restart_of) {
        const of = writers.findIndex((other) => other.writer === record.restart_of);
        const at = matchedAt.has(record.writer) ? matchedAt.get(record.writer) : (writer.t ? writer.t[0] : null);
        out.push([`${reader.topic}: ${of >= 0 ? `writer ${of + 1}` : record.restart_of} restarted as writer ${i + 1}` +
          (at === null || at === undefined ? '' : ` at ${seconds(at)}`), chart('rate')]);
      }
      if (record.backward_jumps > 0) {
        out.push([`${who}: ids went backwards ${count(record.backward_jumps, 'time')}`, chart('rate')]);
      }
      if (record.duplicates > 0) out.push([`${who}: ${count(record.duplicates, 'duplicate id')}`, chart('missing')]);
      if (record.undecodable > 0) {
        out.push([`${who}: ${count(record.undecodable, 'sample')} not decodable`, chart('missing')]);
      }
      const check = record.payload_check;
      if (check && check.failed > 0) {
        out.push([`${who}: ${count(check.failed, 'payload check')} failed`, chart('missing')]);
      }
    });
    const events = (reader.latest && reader.latest.events) || {};
    const eventFindings = [
      ['deadlines_missed', (n) => `${count(n, 'deadline')} missed`],
      ['incompatible_qos', (n) => `${count(n, 'incompatible QoS offer')}`],
      ['samples_lost', (n) => `${count(n, 'sample')} reported lost by the reader`],
      ['samples_rejected', (n) => `${count(n, 'sample')} rejected by the reader`],
    ];
    for (const [field, words] of eventFindings) {
      if (events[field] > 0) out.push([`${reader.topic}: ${words(events[field])}`, chart('events')]);
    }
    const names = new Map(writers.map((writer, i) => [writer.writer, `writer ${i + 1}`]));
    for (const event of reader.events) {
      if (eventKind(event) === 'liveliness_lost') {
        out.push([`${reader.topic}, ${names.get(event.writer) || event.writer || 'a writer'}: liveliness lost at ` +
          `${seconds(event.t)}`, chart('events')]);
      } else if (event.event === 'writer_refused') {
        out.push([`${reader.topic}: writer ${event.writer} refused by DDS Security`, chart('events')]);
      }
    }
    if (reader.latest && reader.latest.samples === 0) out.push([`${reader.topic}: no sample taken`, chart('rate')]);
    return out;
  }

  function renderFindings() {
    const lines = data.readers.flatMap(findingsOf);
    const list = el('ul', { id: 'findings', className: lines.length ? 'findings' : 'findings clean' });
    if (!lines.length) {
      list.append(el('li', {}, data.readers.length ? 'Nothing went wrong: every writer\'s samples arrived, in order, ' +
        'and no reader reported a fault.' : 'Nothing to tell: the report has no reader records.'));
    }
    for (const [words, chart] of lines) list.append(el('li', {}, el('a', { href: `#${chart}` }, words)));
    root.append(list);
  }

  function renderHeader() {
    const start = data.start || {};
    const final = data.final;
    root.append(el('h1', {}, 'lumoQuillmon report'));
    if (data.lastLineCut) {
      root.append(el('p', { className: 'note', id: 'cut-note' },
        `The report's last line was cut (the monitor was stopped while writing it): this page shows the ` +
        `${data.records} whole records before it.`));
    }
    if (!final) {
      root.append(el('p', { className: 'note', id: 'no-final-note' },
        'The report has no final record: the monitor did not finish its run. The tables show the latest ' +
        'records, not the final ones, and there is no verdict.'));
    }
    const verdict = final && final.verdict;
    const result = verdict ? verdict.result : 'none';
    root.append(el('div', { className: `verdict ${result === 'pass' || result === 'fail' ? result : 'none'}`,
      id: 'verdict' }, verdict ? `Verdict: ${result}` : 'Verdict: none (no final record)'));
    renderFindings();
    const runLength = final ? final.t : data.endT;
    const rows = [
      ['started', start.time],
      ['ended', final ? final.time : '(no final record)'],
      ['run length', `${Number(runLength).toFixed(3)} s`],
      ['Fast DDS', start.fast_dds],
      ['records', data.records],
    ];
    if (verdict) {
      rows.push(['conditions that happened', list(verdict.happened)],
        ['named by --fail-on', list(verdict.fail_on)],
        ['failed', list(verdict.failed)],
        ['exit status', verdict.exit_status]);
    }
    const options = (final && final.options) || start.options || {};
    root.append(el('div', { className: 'side-by-side' },
      el('div', {}, el('h3', {}, 'Run'), table(rows, 'run')),
      el('div', {}, el('h3', {}, 'Options'), table(Object.entries(options), 'options'))));
    if (final && final.totals) {
      root.append(el('h3', {}, 'Totals over all readers and writers'),
        el('div', { className: 'wide' }, wideTable(Object.entries(final.totals), 'totals')));
    }
  }

  // Shared zoom: a drag across any chart sets the time span of all of them.
  function setRange(min, max) {
    for (const chart of charts) {
      chart.options.scales.x.min = min;
      chart.options.scales.x.max = max;
      chart.update('none');
    }
    document.getElementById('range').textContent = `${min.toFixed(1)} s to ${max.toFixed(1)} s`;
  }

  function attachZoom(chart, box, selection) {
    let startX = null;
    const xOf = (event) => event.clientX - box.getBoundingClientRect().left;
    box.addEventListener('mousedown', (event) => {
      startX = xOf(event);
      selection.style.left = `${startX}px`;
      selection.style.width = '0px';
      selection.style.display = 'block';
    });
    box.addEventListener('mousemove', (event) => {
      if (startX === null) return;
      const x = xOf(event);
      selection.style.left = `${Math.min(x, startX)}px`;
      selection.style.width = `${Math.abs(x - startX)}px`;
    });
    window.addEventListener('mouseup', (event) => {
      if (startX === null) return;
      const endX = xOf(event);
      selection.style.display = 'none';
      const from = startX;
      startX = null;
      if (Math.abs(endX - from) < 5) return;
      const scale = chart.scales.x;
      const a = scale.getValueForPixel(Math.min(from, endX));
      const b = scale.getValueForPixel(Math.max(from, endX));
      setRange(Math.max(fullRange.min, a), Math.min(fullRange.max, b));
    });
    box.addEventListener('dblclick', () => setRange(fullRange.min, fullRange.max));
  }

  // Events drawn as vertical lines across a chart.
  const eventLines = {
    id: 'eventLines',
    afterDatasetsDraw(chart, args, options) {
      const area = chart.chartArea;
      const x = chart.scales.x;
      const ctx = chart.ctx;
      ctx.save();
      ctx.lineWidth = 1;
      ctx.setLineDash([3, 3]);
      // Lines only while they are few enough to tell apart (zoom in for more): writers that come and go by the
      // thousand would cover the plot; the Events chart shows every one.
      const marks = (options.marks || []).filter((mark) => mark.t >= x.min && mark.t <= x.max);
      if (marks.length > MAX_EVENT_LINES) {
        ctx.restore();
        return;
      }
      for (const mark of marks) {
        const px = x.getPixelForValue(mark.t);
        if (px < area.left || px > area.right) continue;
        ctx.strokeStyle = mark.colour;
        ctx.beginPath();
        ctx.moveTo(px, area.top);
        ctx.lineTo(px, area.bottom);
        ctx.stroke();
      }
      ctx.restore();
    },
  };

  function chartBox(container, className, id) {
    const canvas = el('canvas');
    const selection = el('div', { className: 'selection' });
    const box = el('div', { className, id }, canvas, selection);
    container.append(box);
    return { canvas, box, selection };
  }

  function xScale() {
    return { type: 'linear', min: fullRange.min, max: fullRange.max,
      title: { display: true, text: 'seconds since the report started' } };
  }

  // The writers' colours are told once per reader, above its charts (legend), not by each chart.
  function lineChart(container, id, title, yTitle, datasets, marks) {
    const { canvas, box, selection } = chartBox(container, 'chart', id);
    const chart = new Chart(canvas, {
      type: 'line',
      data: { datasets },
      options: {
        animation: false, parsing: false, normalized: true, responsive: true, maintainAspectRatio: false,
        elements: { point: { radius: 0, hitRadius: 4 }, line: { borderWidth: 1.5 } },
        interaction: { mode: 'nearest', axis: 'x', intersect: false },
        plugins: {
          title: { display: true, text: title },
          legend: { display: false },
          decimation: { enabled: true, algorithm: 'min-max' },
          eventLines: { marks },
        },
        scales: { x: xScale(), y: { beginAtZero: true, title: { display: true, text: yTitle } } },
      },
      plugins: [eventLines],
    });
    charts.push(chart);
    attachZoom(chart, box, selection);
  }

  function eventChart(container, id, events, writerNames) {
    const kinds = EVENT_KINDS.filter(([kind]) => events.some((event) => eventKind(event) === kind));
    const datasets = kinds.map(([kind, label, colour], row) => ({
      label,
      borderColor: colour,
      backgroundColor: colour,
      pointStyle: 'triangle',
      pointRadius: 5,
      data: events.filter((event) => eventKind(event) === kind)
        .map((event) => ({ x: event.t, y: row, detail: eventDetail(event, writerNames) })),
    }));
    const { canvas, box, selection } = chartBox(container, 'chart events', id);
    const chart = new Chart(canvas, {
      type: 'scatter',
      data: { datasets },
      options: {
        animation: false, parsing: false, responsive: true, maintainAspectRatio: false,
        plugins: {
          title: { display: true, text: kinds.length ? 'Events' : 'Events: none' },
          legend: { labels: { boxWidth: 12 } },
          tooltip: { callbacks: { label: (item) => `${item.dataset.label} at ${item.raw.x} s: ${item.raw.detail}` } },
        },
        scales: {
          x: xScale(),
          y: { min: -0.5, max: Math.max(kinds.length, 1) - 0.5,
            ticks: { stepSize: 1, callback: (value) => (kinds[value] ? kinds[value][1] : '') } },
        },
      },
    });
    charts.push(chart);
    attachZoom(chart, box, selection);
  }

  function points(t, values) {
    const out = new Array(t.length);
    for (let i = 0; i < t.length; i++) out[i] = { x: t[i], y: values[i] };
    return out;
  }

  function writerName(index, writer, writers) {
    const restartOf = writer.latest.restart_of;
    const of = writers.findIndex((other) => other.writer === restartOf);
    return restartOf ? `writer ${index + 1} (restart of ${of >= 0 ? `writer ${of + 1}` : restartOf})` :
      `writer ${index + 1}`;
  }

  const TOTAL_COLUMNS = [
    ['samples', 'samples'], ['payload_bytes', 'payload bytes'], ['first_id', 'first id'], ['last_id', 'last id'],
    ['missing_ids', 'missing ids'], ['gaps', 'gaps'], ['duplicates', 'duplicates'],
    ['backward_jumps', 'backward jumps'], ['middleware_lost', 'middleware lost'],
    ['publisher_skipped', 'publisher skipped'], ['undecodable', 'undecodable'],
  ];

  // The rows of the writers that `include` picks, numbered among all of them.
  function totalsTable(writers, names, include) {
    const head = el('tr', {}, el('th', {}, '#'), el('th', {}, 'writer'), el('th', {}, 'drawn as'),
      el('th', {}, 'presence'), el('th', {}, 'restart of'), ...TOTAL_COLUMNS.map(([, label]) => el('th', {}, label)),
      el('th', {}, 'latency p50 (µs)'), el('th', {}, 'latency p99 (µs)'), el('th', {}, 'latency max (µs)'),
      el('th', {}, 'checks passed'), el('th', {}, 'checks failed'), el('th', {}, 'record'));
    const body = el('tbody');
    writers.forEach((writer, index) => {
      if (!include(writer)) return;
      const record = writer.latest;
      const latency = record.latency_ns;
      const check = record.payload_check || {};
      const cell = (field, value, className) => {
        const td = el('td', { className: className || 'number' }, text(value));
        td.dataset.field = field;
        return td;
      };
      const restartOf = record.restart_of;
      const restartIndex = writers.findIndex((other) => other.writer === restartOf);
      const row = el('tr', { className: restartOf ? 'restart' : '' },
        cell('index', index + 1),
        cell('writer', record.writer, 'guid'),
        cell('drawn_as', writer.t ? names.get(record.writer) : 'other writers', 'name'),
        cell('presence', record.presence, ''),
        cell('restart_of', restartOf ? `restart of writer ${restartIndex + 1}: ${restartOf}` : '', 'guid'),
        ...TOTAL_COLUMNS.map(([field]) => cell(field, record[field])),
        cell('latency_p50_us', latency ? (latency.p50 / 1000).toFixed(3) : ''),
        cell('latency_p99_us', latency ? (latency.p99 / 1000).toFixed(3) : ''),
        cell('latency_max_us', latency ? (latency.max / 1000).toFixed(3) : ''),
        cell('checks_passed', check.passed),
        cell('checks_failed', check.failed),
        cell('record', record.final ? 'final' : 'latest (not final)', ''));
      row.title = names.get(record.writer);
      body.append(row);
    });
    return el('table', { className: 'writers' }, el('thead', {}, head), body);
  }

  // A closed <details> whose content is made when it is first opened: a reader of thousands of writers or events
  // opens as fast as one of a few.
  function lazyDetails(className, summary, make) {
    const details = el('details', { className }, el('summary', {}, summary));
    details.addEventListener('toggle', () => {
      if (details.open && details.children.length === 1) details.append(make());
    });
    return details;
  }

  function eventTable(events, writerNames) {
    return lazyDetails('', `Events (${events.length})`, () => {
      const body = el('tbody');
      for (const event of events) {
        body.append(el('tr', {}, el('td', { className: 'number' }, Number(event.t).toFixed(3)),
          el('td', {}, event.event), el('td', {}, eventDetail(event, writerNames))));
      }
      return el('table', { className: 'events' }, el('thead', {}, el('tr', {}, el('th', {}, 't (s)'),
        el('th', {}, 'event'), el('th', {}, 'details'))), body);
    });
  }

  function renderReader(reader, r) {
    const chart = (name) => `reader-${r}-${name}`;
    const section = el('section', { className: 'reader', id: `reader-${r}` });
    section.dataset.topic = reader.topic;
    section.dataset.reader = reader.reader;
    section.append(el('h2', {}, 'Topic ', el('span', { className: 'topic' }, reader.topic), ` reader ${reader.reader}`));
    const latest = reader.latest;
    if (latest) {
      section.append(el('p', {}, `samples ${latest.samples}, writers ${latest.writers}, restarts ${latest.restarts}, ` +
        `events: ${Object.entries(latest.events || {}).map(([k, v]) => `${k} ${v}`).join(', ')}`));
    }
    const names = new Map(reader.writers.map((writer, i) => [writer.writer, writerName(i, writer, reader.writers)]));
    const marks = reader.events.map((event) => ({
      t: event.t, colour: (EVENT_KINDS.find(([kind]) => kind === eventKind(event)) || [0, 0, '#000'])[2],
    }));
    // Drawn writers keep their number; the folded ones are one more series, in grey.
    const w = reader.writers;
    const drawn = w.filter((writer) => writer.t).map((writer, i) => ({
      writer, name: names.get(writer.writer), colour: WRITER_COLOURS[i % WRITER_COLOURS.length],
    }));
    if (reader.other) {
      drawn.push({ writer: reader.other, name: `other writers (${reader.other.count})`, colour: OTHER_COLOUR });
    }
    const series = ({ writer, name, colour }, suffix, values, dash) => ({
      label: suffix ? `${name} ${suffix}` : name, borderColor: colour, backgroundColor: colour,
      borderDash: dash || [], data: points(writer.t, values),
    });
    section.append(el('div', { className: 'legend' }, ...drawn.map(({ name, colour }) => {
      const swatch = el('span', { className: 'swatch' });
      swatch.style.background = colour;
      return el('span', { className: 'entry' }, swatch, name);
    })));
    const grid = el('div', { className: 'charts' });
    section.append(grid);
    root.append(section);
    lineChart(grid, chart('rate'), 'Rate', 'samples/s', drawn.map((d) => series(d, '', d.writer.rate)), marks);
    lineChart(grid, chart('missing'), 'Missing ids (solid), middleware loss (dashed), publisher skips (dotted), cumulative', 'samples',
      drawn.flatMap((d) => [
        series(d, 'missing', d.writer.missing),
        series(d, 'middleware lost', d.writer.middleware, [6, 3]),
        series(d, 'publisher skipped', d.writer.skipped, [2, 2]),
      ]), marks);
    const perPeriod = drawn.some((d) => d.writer.periodLatency);
    lineChart(grid, chart('latency'), `${perPeriod ? 'Latency per period' : 'Latency (since the stream started)'}: p50 (solid), ` +
      `p99 (dashed)${reader.other ? '; other writers: the worst of them' : ''}`, 'µs',
      drawn.flatMap((d) => [
        series(d, 'p50', d.writer.p50),
        series(d, 'p99', d.writer.p99, [6, 3]),
      ]), marks);
    eventChart(grid, chart('events'), reader.events, names);
    section.append(el('h3', {}, 'Writers'), el('div', { className: 'wide' }, totalsTable(w, names, (x) => x.t)));
    if (reader.other) {
      section.append(lazyDetails('folded', `The ${reader.other.count} writers drawn as "other writers"`,
        () => el('div', { className: 'wide' }, totalsTable(w, names, (x) => !x.t))));
    }
    section.append(eventTable(reader.events, names));
  }

  Chart.defaults.font.size = 11;
  renderHeader();
  root.append(el('div', { className: 'toolbar' },
    'Drag across any chart to zoom every chart to that time span; double-click a chart or ',
    el('button', { type: 'button', id: 'reset-zoom', onclick: () => setRange(fullRange.min, fullRange.max) },
      'reset the zoom'),
    '. Showing ', el('span', { id: 'range' }, `${fullRange.min} s to ${fullRange.max.toFixed(1)} s`), '.'));
  if (data.readers.length === 0) {
    root.append(el('p', { className: 'note' }, 'The report has no reader records.'));
  }
  data.readers.forEach(renderReader);
  document.documentElement.dataset.renderMs = performance.now().toFixed(0);
})();
