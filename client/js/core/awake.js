// Keeps the screen on while a picture is watched. The Wake Lock API needs a secure context,
// which a page from a computer on the LAN over plain HTTP is not; there a muted, looping,
// inline video of a black square does the same (browsers keep the screen on while a video
// plays). Held only while watching and visible: a hidden page gives a wake lock back by
// itself, and is asked again when it shows.
export class ScreenAwake {
  /**
   * @param {object} options
   * @param {{ request(type: string): Promise<{ release(): Promise<void> }> } | undefined} options.wakeLock
   *   navigator.wakeLock where the browser has it
   * @param {() => { play(): Promise<void>, pause(): void }} options.video makes the fallback's
   *   video, once, when first needed
   * @param {() => boolean} options.visible whether the page shows
   */
  constructor({ wakeLock, video, visible }) {
    this.wakeLock = wakeLock;
    this.makeVideo = video;
    this.visible = visible;
    this.wanted = false;
    this.lock = null;
    this.video = null;
    this.playing = false;
    this.useVideo = !wakeLock;
  }

  // Watching began (true) or ended (false).
  async want(on) {
    this.wanted = on;
    await this.update();
  }

  // The page was shown or hidden.
  async visibilityChanged() {
    await this.update();
  }

  async update() {
    const hold = this.wanted && this.visible();
    if (!hold) {
      await this.letGo();
      return;
    }
    if (!this.useVideo && !this.lock) {
      try {
        const lock = await this.wakeLock.request('screen');
        if (!this.wanted || !this.visible()) {
          await lock.release();
          return;
        }
        this.lock = lock;
        lock.addEventListener?.('release', () => {
          if (this.lock === lock) this.lock = null;
        });
        return;
      } catch {
        this.useVideo = true; // refused (no permission, not allowed here): the video instead
      }
    }
    if (this.useVideo && !this.playing) {
      this.video ??= this.makeVideo();
      this.playing = true;
      try {
        await this.video.play();
      } catch {
        this.playing = false; // a browser that wants a gesture first: the next one plays it
      }
    }
  }

  async letGo() {
    const lock = this.lock;
    this.lock = null;
    if (lock) await lock.release().catch(() => {});
    if (this.playing) {
      this.playing = false;
      this.video.pause();
    }
  }

  get held() {
    return this.lock !== null || this.playing;
  }
}
