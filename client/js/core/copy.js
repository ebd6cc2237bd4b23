// Puts text on the phone's own clipboard from a tap. The asynchronous clipboard API exists only
// in secure contexts, which a page served over plain HTTP on the LAN is not; there a selected
// field and the copy command, run inside the tap, do the same.

/**
 * @param {string} text
 * @param {{ clipboard?: { writeText(text: string): Promise<void> }, secure?: boolean,
 *   document: Document }} where the page's navigator.clipboard, isSecureContext and document
 * @returns {Promise<boolean>} whether the text was copied
 */
export async function copyText(text, { clipboard, secure, document }) {
  if (secure && clipboard?.writeText) {
    try {
      await clipboard.writeText(text);
      return true;
    } catch {
      // refused (no focus, no permission): the copy command may still do it
    }
  }
  const field = document.createElement('textarea');
  field.value = text;
  field.setAttribute('readonly', '');
  field.setAttribute('aria-hidden', 'true');
  field.style.position = 'fixed';
  field.style.opacity = '0';
  document.body.append(field);
  try {
    field.select();
    field.setSelectionRange(0, text.length);
    return document.execCommand('copy');
  } catch {
    return false;
  } finally {
    field.remove();
  }
}
