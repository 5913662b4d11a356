#include "io/gdal_errors.hpp"

#include <cstdio>
#include <string>

#include "run/printable.hpp"

namespace pt {

GdalErrorWatch::GdalErrorWatch(bool show) : show_(show) {
    CPLPushErrorHandlerEx(&GdalErrorWatch::handle, this);
}

GdalErrorWatch::~GdalErrorWatch() {
    CPLPopErrorHandler();
}

void GdalErrorWatch::reset() {
    worst_ = CE_None;
    out_of_memory_ = false;
}

void CPL_STDCALL GdalErrorWatch::handle(CPLErr type, CPLErrorNum number, const char* message) {
    auto* self = static_cast<GdalErrorWatch*>(CPLGetErrorHandlerUserData());
    if (type > self->worst_) self->worst_ = type;
    if (number == CPLE_OutOfMemory) self->out_of_memory_ = true;
    if (self->show_) print_gdal_message(type, number, message);
}

void CPL_STDCALL print_gdal_message(CPLErr type, CPLErrorNum number, const char* message) {
    if (type == CE_Debug) return;  // shown only when CPL_DEBUG asks, as by GDAL
    const char* kind = type == CE_Warning ? "Warning" : "ERROR";
    const std::string text = printable(message != nullptr ? message : "");
    std::fprintf(stderr, "%s %d: %s\n", kind, static_cast<int>(number), text.c_str());
    std::fflush(stderr);
}

}  // namespace pt
