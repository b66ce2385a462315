// Builds a small environment with the C++ interface and sends itself one message.
#include <pxr.hpp>

#include <cstdio>

int main() {
    pxr::error why = pxr::error::none;
    auto env = pxr::environment::create({}, &why);
    if (!env) {
        std::fprintf(stderr, "consumer-cmake: cannot create an environment (%d)\n", int(why));
        return 1;
    }
    if (env->add_partition(0, 16, 64) != pxr::error::none ||
        env->add_queue(0x20) != pxr::error::none)
        return 1;
    auto m = pxr::allocate(0x100, 42, 0, 8);
    if (!m) return 1;
    m->set_route(0x20, 0x20);
    if (pxr::send(0x20, *m) != pxr::error::none) return 1;
    auto in = pxr::grab(0x20);
    if (!in || in->id() != 42) return 1;
    std::printf("consumer-cmake: message %u went round; ok\n", unsigned(in->id()));
    return 0; // the message is released, then the environment removed
}
