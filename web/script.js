// Operator pages of vesk_bt. Every page calls page_loaded() once it has loaded; the scan page
// reloads itself through its Refresh header, so nothing more is needed than the mark, which
// lets a watcher tell a page that finished loading from one still on its way.
function page_loaded() {
    document.body.setAttribute("data-loaded", "yes");
}
