// Cabinets on Linux: libmspack reads them, libgcab writes them.
#include <gio/gio.h>
#include <libgcab.h>
#include <mspack.h>
#include <strings.h>

#include "sim/cabinet.h"

namespace kestrio::sim {

CabResult ExtractFromCabinet(const std::string& cabinet, const std::string& member,
                             const std::string& destination) {
  mscab_decompressor* cabd = mspack_create_cab_decompressor(nullptr);
  if (cabd == nullptr) return CabResult::CannotOpen;
  CabResult result = CabResult::NoSuchFile;
  mscabd_cabinet* cab = cabd->open(cabd, const_cast<char*>(cabinet.c_str()));
  if (cab == nullptr) {
    result = cabd->last_error(cabd) == MSPACK_ERR_OPEN ? CabResult::CannotOpen : CabResult::NotACabinet;
  } else {
    for (mscabd_file* f = cab->files; f != nullptr; f = f->next) {
      if (::strcasecmp(f->filename, member.c_str()) != 0) continue;
      result = cabd->extract(cabd, f, const_cast<char*>(destination.c_str())) == MSPACK_ERR_OK
                   ? CabResult::Ok
                   : CabResult::WriteFailed;
      break;
    }
    cabd->close(cabd, cab);
  }
  mspack_destroy_cab_decompressor(cabd);
  return result;
}

bool WriteCabinet(const std::string& cabinet,
                  const std::vector<std::pair<std::string, std::string>>& files,
                  std::string* error) {
  GError* err = nullptr;
  GCabCabinet* cab = gcab_cabinet_new();
  GCabFolder* folder = gcab_folder_new(GCAB_COMPRESSION_MSZIP);
  bool ok = true;
  for (const auto& [name, content] : files) {
    GBytes* bytes = g_bytes_new(content.data(), content.size());
    GCabFile* file = gcab_file_new_with_bytes(name.c_str(), bytes);
    ok = gcab_folder_add_file(folder, file, FALSE, nullptr, &err);
    g_object_unref(file);
    g_bytes_unref(bytes);
    if (!ok) break;
  }
  if (ok) ok = gcab_cabinet_add_folder(cab, folder, &err);
  GFile* out = g_file_new_for_path(cabinet.c_str());
  GFileOutputStream* stream = nullptr;
  if (ok) {
    stream = g_file_replace(out, nullptr, FALSE, G_FILE_CREATE_NONE, nullptr, &err);
    ok = stream != nullptr;
  }
  if (ok) {
    ok = gcab_cabinet_write_simple(cab, G_OUTPUT_STREAM(stream), nullptr, nullptr, nullptr, &err);
    ok = g_output_stream_close(G_OUTPUT_STREAM(stream), nullptr, ok ? &err : nullptr) && ok;
  }
  if (!ok && error) *error = err ? err->message : "cannot write the cabinet";
  if (err) g_error_free(err);
  if (stream) g_object_unref(stream);
  g_object_unref(out);
  g_object_unref(folder);
  g_object_unref(cab);
  return ok;
}

}  // namespace kestrio::sim
