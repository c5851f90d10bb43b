// Notifications while the page is closed, through the browser's own push
// service. Off until the person turns them on. The desktop encrypts each
// notice for this browser alone, so the push service carries an unreadable
// blob and learns only when it was sent.

function keyBytes(base64url) {
  const base64 = base64url.replace(/-/g, '+').replace(/_/g, '/');
  return Uint8Array.from(atob(base64 + '='.repeat((4 - (base64.length % 4)) % 4)), (c) =>
    c.charCodeAt(0),
  );
}

async function currentSubscription() {
  const registration = await navigator.serviceWorker.getRegistration();
  return registration ? registration.pushManager.getSubscription() : null;
}

export class Notify {
  constructor(link) {
    this.link = link;
    this.key = null; // the desktop's public key, from its hello answer
  }

  // Why this page cannot offer notifications, or '' when it can.
  obstacle() {
    if (!globalThis.isSecureContext || !('serviceWorker' in navigator))
      return 'Notifications need the page opened over HTTPS (its Tailscale address).';
    if (!('PushManager' in globalThis) || !('Notification' in globalThis))
      return 'This browser cannot show notifications for a closed page. On an iPhone, add Parley to the home screen first.';
    if (!this.key)
      return 'This computer cannot send notifications (see the activity log on the desktop).';
    return '';
  }

  async isOn() {
    return (
      !this.obstacle() && Notification.permission === 'granted' && !!(await currentSubscription())
    );
  }

  async turnOn() {
    if ((await Notification.requestPermission()) !== 'granted') {
      throw new Error('Notifications are blocked for this page in the browser\u2019s settings.');
    }
    const registration = await navigator.serviceWorker.ready;
    let subscription = await registration.pushManager.getSubscription();
    if (!subscription) {
      subscription = await registration.pushManager.subscribe({
        userVisibleOnly: true,
        applicationServerKey: keyBytes(this.key),
      });
    }
    const { endpoint, keys } = subscription.toJSON();
    if (!this.link.send('push_subscribe', { endpoint, p256dh: keys.p256dh, auth: keys.auth })) {
      throw new Error('Not connected: try again when the link is back.');
    }
  }

  async turnOff() {
    const subscription = await currentSubscription();
    if (subscription) await subscription.unsubscribe();
    this.link.send('push_unsubscribe', {});
  }
}
