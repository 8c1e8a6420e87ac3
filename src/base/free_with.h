#pragma once
// Frees a C library's handle with the library's own call, for unique_ptr:
// std::unique_ptr<OggOpusEnc, FreeWith<ope_encoder_destroy>>.

template <auto free_handle>
struct FreeWith {
    template <typename T>
    void operator()(T* handle) const {
        (void)free_handle(handle);
    }
};
