// Loaded by e2e.js from the loopback local-file host (http://127.0.0.1/...),
// which the URL protocol answers from the interface files.
window.e2eLocalFile = 'e2e local file';
