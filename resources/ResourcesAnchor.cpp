// The resource objects produced by qt_add_resources() are attached to this
// library; a static library needs at least one source of its own.
namespace resources {
int anchor() { return 0; }
}  // namespace resources
