// Keeps a number of monospace columns within an element's width. The CSS sizes the text
// for a glyph of 0.6 em, but an engine may round each glyph's width to a whole pixel (WebKit
// does), which at a phone's small sizes is up to a tenth wider: so the width of the columns
// is measured where the page lays them out, and the text made smaller until they fit.
export function keep_columns(element, columns) {
  const probe = document.createElement('span');
  probe.setAttribute('aria-hidden', 'true');
  probe.style.cssText = 'position: absolute; visibility: hidden; white-space: pre';
  probe.textContent = '0'.repeat(columns);

  const fit = () => {
    element.style.fontSize = ''; // the CSS's size, the largest
    element.append(probe);
    const style = getComputedStyle(element);
    const padding = parseFloat(style.paddingLeft) + parseFloat(style.paddingRight);
    const room = element.clientWidth - padding;
    if (room <= 0) { // not shown: fitted when it is
      probe.remove();
      return;
    }
    let size = parseFloat(style.fontSize);
    // Each step at least 2% smaller: rounding may need more than the ratio says.
    for (let step = 0; step < 10 && probe.getBoundingClientRect().width > room; step++) {
      size *= Math.min(0.98, room / probe.getBoundingClientRect().width);
      element.style.fontSize = `${size}px`;
    }
    probe.remove();
  };
  // Fitted after the change of size, not in the observer's callback: the text's new size
  // changes the element's height, which the observer would otherwise report as a loop.
  let width = null;
  new ResizeObserver(([entry]) => {
    if (entry.contentRect.width !== width) {
      width = entry.contentRect.width;
      requestAnimationFrame(fit);
    }
  }).observe(element);
  fit();
}
