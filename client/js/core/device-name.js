// A friendly default name for this phone, from what the browser says about itself. The user
// can edit it before pairing.
export function guessDeviceName(userAgent = '') {
  const ua = String(userAgent);
  if (/iPad/.test(ua)) return 'iPad';
  if (/iPhone/.test(ua)) return 'iPhone';
  if (/iPod/.test(ua)) return 'iPod';
  const pixel = /\b(Pixel(?: \d+[a-zA-Z]*)?(?: (?:Pro|XL|Fold|a))*)\b/.exec(ua);
  if (pixel) return pixel[1];
  const samsung = /\b(SM-[A-Z]\d+[A-Z]*)\b/.exec(ua);
  if (samsung) return `Samsung ${samsung[1]}`;
  if (/Android/.test(ua)) return /Mobile/.test(ua) ? 'Android phone' : 'Android tablet';
  if (/Macintosh/.test(ua)) return 'Mac';
  if (/Windows/.test(ua)) return 'Windows PC';
  if (/Linux/.test(ua)) return 'Linux computer';
  return 'Phone';
}
