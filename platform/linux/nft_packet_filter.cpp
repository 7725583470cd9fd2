#include <dlfcn.h>
#include <nftables/libnftables.h>

#include "platform/packet_filter.h"

namespace tranca::platform {

namespace {

// Loaded, not linked: libnftables is an optional part of the machine.
struct Library {
    void* handle = nullptr;
    decltype(&nft_ctx_new) newContext = nullptr;
    decltype(&nft_ctx_free) freeContext = nullptr;
    decltype(&nft_ctx_buffer_output) bufferOutput = nullptr;
    decltype(&nft_ctx_get_output_buffer) output = nullptr;
    decltype(&nft_ctx_buffer_error) bufferError = nullptr;
    decltype(&nft_ctx_get_error_buffer) error = nullptr;
    decltype(&nft_run_cmd_from_buffer) runBuffer = nullptr;

    template <typename Fn>
    bool bind(Fn& fn, const char* name) {
        fn = reinterpret_cast<Fn>(::dlsym(handle, name));
        return fn != nullptr;
    }

    bool load() {
        handle = ::dlopen("libnftables.so.1", RTLD_NOW | RTLD_LOCAL);
        return handle != nullptr && bind(newContext, "nft_ctx_new") &&
               bind(freeContext, "nft_ctx_free") && bind(bufferOutput, "nft_ctx_buffer_output") &&
               bind(output, "nft_ctx_get_output_buffer") &&
               bind(bufferError, "nft_ctx_buffer_error") &&
               bind(error, "nft_ctx_get_error_buffer") &&
               bind(runBuffer, "nft_run_cmd_from_buffer");
    }
};

class NftPacketFilter : public PacketFilter {
  public:
    explicit NftPacketFilter(Library library) : library_(library) {}
    ~NftPacketFilter() override { ::dlclose(library_.handle); }

    std::optional<std::string> run(std::string_view commands) override {
        nft_ctx* context = library_.newContext(NFT_CTX_DEFAULT);
        if (context == nullptr) {
            error_ = "libnftables no pudo empezar";
            return std::nullopt;
        }
        library_.bufferOutput(context);
        library_.bufferError(context);
        const std::string script(commands);  // the library wants a C string
        const bool ran = library_.runBuffer(context, script.c_str()) == 0;
        std::optional<std::string> printed;
        if (ran) {
            printed = library_.output(context);
        } else {
            error_ = library_.error(context);
            while (!error_.empty() && (error_.back() == '\n' || error_.back() == ' ')) {
                error_.pop_back();
            }
        }
        library_.freeContext(context);
        return printed;
    }

    std::string lastError() const override { return error_; }

  private:
    Library library_;
    std::string error_;
};

}  // namespace

std::unique_ptr<PacketFilter> systemPacketFilter() {
    Library library;
    if (!library.load()) {
        if (library.handle != nullptr) {
            ::dlclose(library.handle);
        }
        return nullptr;
    }
    return std::make_unique<NftPacketFilter>(library);
}

}  // namespace tranca::platform
