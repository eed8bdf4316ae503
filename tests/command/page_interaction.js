// Injected into a copy of the report page by browser_check.cmake: uses the
// page as a person would, through the element under the pointer, and
// writes what it saw into <pre id="quarrow-interaction">:
//   zoom=ok search=ok sort=ok hover=ok
// or, for a step that went wrong, step=FAIL(why).
(function () {
  var results = [];
  function step(name, body) {
    try {
      var why = body();
      results.push(name + '=' + (why ? 'FAIL(' + why + ')' : 'ok'));
    } catch (e) {
      results.push(name + '=FAIL(' + e + ')');
    }
  }
  // A click where the element shows on screen: whatever is topmost there
  // gets it, as with a real pointer.
  function clickOn(element, type) {
    element.scrollIntoView({block: 'center', inline: 'center'});
    var box = element.getBoundingClientRect();
    var x = box.left + Math.min(box.width / 2, 20), y = box.top + box.height / 2;
    var target = document.elementFromPoint(x, y);
    if (!target) return null;
    target.dispatchEvent(new MouseEvent(type || 'click', {bubbles: true, clientX: x, clientY: y}));
    return target;
  }
  function shown(g) { return g.style.display !== 'none'; }
  function widthOf(g) { return +g.querySelector('rect').getAttribute('width'); }
  var width = +document.getElementById('flame').getAttribute('width');
  var nodes = Array.prototype.slice.call(document.querySelectorAll('#flame g.node'));
  var byId = {};
  nodes.forEach(function (n) { byId[n.dataset.id] = n; });
  function bytes(n) { return BigInt(n.dataset.b.replace(/,/g, '')); }

  // a frame narrower than the whole that has a caller below it
  var target = null;
  nodes.forEach(function (n) {
    if (target || !n.querySelector('rect.frame') || widthOf(n) >= width * 0.9 || widthOf(n) < 30) return;
    if (nodes.some(function (c) { return c.dataset.p === n.dataset.id; })) target = n;
  });

  step('zoom', function () {
    if (!target) return 'no frame to click';
    var child = nodes.filter(function (c) { return c.dataset.p === target.dataset.id; })[0];
    var childShare = (+child.dataset.x1 - +child.dataset.x0) / (+target.dataset.x1 - +target.dataset.x0);
    var hit = clickOn(target);
    if (!hit || !target.contains(hit)) return 'the click landed on ' + (hit ? hit.tagName : 'nothing');
    if (Math.abs(widthOf(target) - width) > 0.5) return 'the clicked frame is ' + widthOf(target) + ' wide';
    if (!target.classList.contains('zoomed')) return 'not marked as zoomed';
    if (Math.abs(widthOf(child) - childShare * width) > 0.5) return 'its callee did not scale';
    var parent = byId[target.dataset.p];
    if (!shown(parent) || Math.abs(widthOf(parent) - width) > 0.5) return 'its callers are not shown full width';
    var outside = nodes.filter(function (n) {
      for (var at = n; at; at = byId[at.dataset.p]) if (at === target) return false;
      for (var up = target; up; up = byId[up.dataset.p]) if (up === n) return false;
      return true;
    });
    if (outside.length === 0) return 'nothing outside the subtree to hide';
    if (outside.some(shown)) return 'frames outside the subtree are still shown';
    document.getElementById('unzoom').click();
    if (nodes.some(function (n) { return !shown(n); })) return 'reset left frames hidden';
    if (Math.abs(widthOf(byId['0']) - width) > 0.5) return 'reset did not restore the root';
    return '';
  });

  step('search', function () {
    if (!target) return 'no frame to search for';
    var term = target.dataset.label.split(' in ')[0];
    var box = document.getElementById('search');
    box.focus();
    box.value = term;
    box.dispatchEvent(new Event('input', {bubbles: true}));
    var lit = nodes.filter(function (n) { return n.classList.contains('match'); });
    if (lit.indexOf(target) < 0) return 'the frame searched for is not highlighted';
    var wanted = term.toLowerCase(), sum = 0n, total = bytes(byId['0']);
    for (var i = 0; i < nodes.length; i++) {
      var n = nodes[i], frame = n.querySelector('rect.frame') !== null;
      var text = (n.dataset.label + ' ' + n.dataset.src + ' ' + n.dataset.obj).toLowerCase();
      if (n.classList.contains('match') !== (frame && text.indexOf(wanted) >= 0)) return 'wrong highlight on ' + n.dataset.label;
      if (!n.classList.contains('match')) continue;
      var nested = false;
      for (var up = byId[n.dataset.p]; up; up = byId[up.dataset.p]) nested = nested || up.classList.contains('match');
      if (!nested) sum += bytes(n);
    }
    var share = (Number(sum * 1000000n / total) / 10000).toFixed(2) + '%';
    var result = document.getElementById('search-result');
    if (result.dataset.share !== share || result.textContent.indexOf(share) < 0)
      return 'share ' + result.textContent + ', expected ' + share;
    if (+result.dataset.count !== lit.length) return 'count ' + result.dataset.count + ' of ' + lit.length;
    box.value = '';
    box.dispatchEvent(new Event('input', {bubbles: true}));
    if (document.querySelectorAll('#flame g.match').length) return 'clearing the search left highlights';
    return '';
  });

  step('sort', function () {
    var header = document.querySelectorAll('#summary th')[1]; // live bytes
    function column() {
      return Array.prototype.map.call(document.querySelectorAll('#summary tbody tr'), function (row) {
        return BigInt(row.children[1].dataset.v);
      });
    }
    clickOn(header);
    var up = column();
    for (var i = 1; i < up.length; i++) if (up[i - 1] > up[i]) return 'not ascending after one click';
    clickOn(header);
    var down = column();
    for (var j = 1; j < down.length; j++) if (down[j - 1] < down[j]) return 'not descending after two clicks';
    return '';
  });

  step('hover', function () {
    if (!target) return 'no frame to hover';
    clickOn(target, 'mouseover');
    var text = document.getElementById('details').textContent;
    if (text.indexOf(target.dataset.label) < 0) return 'details show "' + text + '"';
    if (text.indexOf('live bytes') < 0) return 'details lack the bytes';
    return '';
  });

  var out = document.createElement('pre');
  out.id = 'quarrow-interaction';
  out.textContent = results.join(' ');
  document.body.appendChild(out);
})();
