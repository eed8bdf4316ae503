// A loadable object whose frames lie between a capture and its caller. It is
// built twice with the same code layout but other frame sizes
// (PLUGIN_FRAME_BYTES, both above 127 so the instructions keep their
// lengths): an unwind step kept from one copy gives wrong frames in the other
// when it is loaded at the same address.
extern "C" {

typedef int (*plugin_callback)(void *arg);

__attribute__((noinline)) static int plugin_level(int depth, plugin_callback callback, void *arg) {
    volatile char frame[PLUGIN_FRAME_BYTES];
    frame[0] = (char)depth;
    int result = depth <= 1 ? callback(arg) : plugin_level(depth - 1, callback, arg);
    return result + frame[0];
}

// Calls down `depth` plugin frames, then callback(arg).
__attribute__((visibility("default"))) int plugin_descend(int depth, plugin_callback callback, void *arg) {
    return plugin_level(depth, callback, arg) + 1;
}
}
