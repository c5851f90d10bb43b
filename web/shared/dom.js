// The elements both pages make, filled with text nodes only: nothing from
// Claude, a tool, a file or the network is ever parsed as markup. Each
// page's folder links this file in, so the phone and the panel load the
// same module from their own origin.

// `props` is a class name, or attributes: `class`, `on…` listeners, and
// any other set as an attribute. Children are nodes or text.
export function el(tag, props, ...children) {
  const node = document.createElement(tag);
  if (typeof props === 'string') {
    if (props) node.className = props;
  } else {
    for (const [key, value] of Object.entries(props || {})) {
      if (key === 'class') node.className = value;
      else if (key.startsWith('on')) node.addEventListener(key.slice(2), value);
      else node.setAttribute(key, value);
    }
  }
  for (const child of children) if (child != null) node.append(child);
  return node;
}

export function button(label, className, onClick) {
  return el('button', { class: className, type: 'button', onclick: onClick }, label);
}
