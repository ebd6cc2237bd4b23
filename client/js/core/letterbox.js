// The picture scaled to fit the view, centred, with bars on two sides — the same arithmetic
// as the host's LetterboxMath — plus the local zoom the user may apply on top of it.

/** @returns {{x:number,y:number,width:number,height:number}} */
export function containRect(sourceWidth, sourceHeight, viewWidth, viewHeight) {
  if (!(sourceWidth >= 1) || !(sourceHeight >= 1) || !(viewWidth > 0) || !(viewHeight > 0)) {
    return { x: 0, y: 0, width: 0, height: 0 };
  }
  const scale = Math.min(viewWidth / sourceWidth, viewHeight / sourceHeight);
  const width = scale * sourceWidth;
  const height = scale * sourceHeight;
  return { x: (viewWidth - width) * 0.5, y: (viewHeight - height) * 0.5, width, height };
}

/** The normalised point of the picture under (x, y), or null in the bars. Edges count. */
export function viewportToNormalized(sourceWidth, sourceHeight, viewWidth, viewHeight, x, y) {
  const r = containRect(sourceWidth, sourceHeight, viewWidth, viewHeight);
  if (r.width <= 0 || r.height <= 0) return null;
  if (x < r.x || x > r.x + r.width || y < r.y || y > r.y + r.height) return null;
  const clamp = (v) => Math.min(1, Math.max(0, v));
  return { x: clamp((x - r.x) / r.width), y: clamp((y - r.y) / r.height) };
}

// Local zoom: a view point v shows the unzoomed point (v - offset) / scale.
export const identityZoom = Object.freeze({ scale: 1, offsetX: 0, offsetY: 0 });
export const maxZoom = 5;

/** Undoes the zoom: where a touch at (x, y) would be without it. */
export function unzoom(zoom, x, y) {
  return { x: (x - zoom.offsetX) / zoom.scale, y: (y - zoom.offsetY) / zoom.scale };
}

/**
 * The zoom after a pinch around (centerX, centerY) by `factor` and a pan by (dx, dy), kept
 * between 1× and maxZoom and so that the picture always covers the view it covered before.
 */
export function applyPinch(zoom, factor, centerX, centerY, dx, dy, viewWidth, viewHeight) {
  const scale = Math.min(maxZoom, Math.max(1, zoom.scale * factor));
  const applied = scale / zoom.scale;
  let offsetX = centerX - (centerX - zoom.offsetX) * applied + dx;
  let offsetY = centerY - (centerY - zoom.offsetY) * applied + dy;
  // Never pan past the edges of the zoomed view.
  offsetX = Math.min(0, Math.max(viewWidth * (1 - scale), offsetX));
  offsetY = Math.min(0, Math.max(viewHeight * (1 - scale), offsetY));
  return scale === 1 ? identityZoom : { scale, offsetX, offsetY };
}

/**
 * The part of the portal a zoomed view shows, as fractions of the portal, and its size in
 * device pixels (`ratio` a view unit); null when not zoomed or when nothing of the picture is
 * in view. `whole` is the unzoomed picture's rectangle on the view (containRect).
 */
export function visibleView(zoom, whole, viewWidth, viewHeight, ratio = 1) {
  if (zoom.scale === 1 || !(whole.width > 0) || !(whole.height > 0)) return null;
  const clamp = (v) => Math.min(1, Math.max(0, v));
  const topLeft = unzoom(zoom, 0, 0);
  const bottomRight = unzoom(zoom, viewWidth, viewHeight);
  const x = clamp((topLeft.x - whole.x) / whole.width);
  const y = clamp((topLeft.y - whole.y) / whole.height);
  const right = clamp((bottomRight.x - whole.x) / whole.width);
  const bottom = clamp((bottomRight.y - whole.y) / whole.height);
  if (!(right > x) || !(bottom > y)) return null;
  const pixels = zoom.scale * ratio;
  return {
    x, y, width: right - x, height: bottom - y,
    pixelWidth: (right - x) * whole.width * pixels,
    pixelHeight: (bottom - y) * whole.height * pixels,
  };
}

/** Where a picture of part `shows` of the portal goes, inside the whole picture's rectangle. */
export function partRect(whole, shows) {
  if (!shows) return whole;
  return {
    x: whole.x + shows.x * whole.width,
    y: whole.y + shows.y * whole.height,
    width: shows.width * whole.width,
    height: shows.height * whole.height,
  };
}
