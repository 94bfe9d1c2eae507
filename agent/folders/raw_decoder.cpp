#include "agent/folders/raw_decoder.h"

#include <libraw/libraw.h>

#include <algorithm>
#include <memory>
#include <utility>

#include "agent/folders/embedded_preview.h"

namespace vantle::agent::RawDecoder {
namespace {

// A LibRaw stream that notes reads cut short by the end of its data.
template <typename Base>
class CheckedStream final : public Base {
 public:
  template <typename... Args>
  explicit CheckedStream(bool& cutShort, Args&&... args) : Base(std::forward<Args>(args)...), cutShort_(cutShort) {}

  int read(void* into, size_t size, size_t count) override {
    const int got = Base::read(into, size, count);
    if (got < 0 || static_cast<size_t>(got) < count) cutShort_ = true;
    return got;
  }

 private:
  bool& cutShort_;
};

// One opened RAW: the stream it reads and the decoder, torn down in order.
class Opened {
 public:
  explicit Opened(const ImageSource& source)
      : raw_(std::make_unique<LibRaw>(LIBRAW_OPIONS_NO_MEMERR_CALLBACK | LIBRAW_OPIONS_NO_DATAERR_CALLBACK)) {
    raw_->set_dataerror_handler(&Opened::dataError, this);
    if (source.path.empty()) {
      // LibRaw only reads through the pointer.
      void* data = const_cast<uint8_t*>(source.data.data());
      stream_ = std::make_unique<CheckedStream<LibRaw_buffer_datastream>>(cutShort_, data, source.data.size());
    } else {
      stream_ = std::make_unique<CheckedStream<LibRaw_file_datastream>>(cutShort_, source.path.c_str());
    }
    ok_ = stream_->valid() && raw_->open_datastream(stream_.get()) == LIBRAW_SUCCESS;
  }
  ~Opened() { raw_->recycle(); }  // before the stream goes

  // Whether the file was recognised as a RAW.
  bool ok() const { return ok_; }
  LibRaw& raw() { return *raw_; }

  // Runs one step and says whether it succeeded on whole data.
  template <typename Step>
  bool whole(Step step) {
    if (!ok_) return false;
    cutShort_ = false;
    dataError_ = false;
    return step() == LIBRAW_SUCCESS && !cutShort_ && !dataError_;
  }

 private:
  static void dataError(void* self, const char*, const int) { static_cast<Opened*>(self)->dataError_ = true; }

  bool cutShort_ = false;
  bool dataError_ = false;
  std::unique_ptr<LibRaw_abstract_datastream> stream_;
  std::unique_ptr<LibRaw> raw_;  // declared after the stream: destroyed first
  bool ok_ = false;
};

// LibRaw's flip (0, 3, 5, 6) as an EXIF orientation.
int orientationOf(int flip) {
  switch (flip) {
    case 3:
      return 3;
    case 5:
      return 8;
    case 6:
      return 6;
    default:
      return 1;
  }
}

Picture pictureOf(const libraw_processed_image_t& image) {
  Picture picture;
  picture.isJpeg = image.type == LIBRAW_IMAGE_JPEG;
  picture.data.assign(image.data, image.data + image.data_size);
  picture.width = image.width;
  picture.height = image.height;
  picture.bands = image.colors;
  picture.bitsPerSample = image.bits;
  return picture;
}

struct MemImageDeleter {
  void operator()(libraw_processed_image_t* image) const { LibRaw::dcraw_clear_mem(image); }
};
using MemImage = std::unique_ptr<libraw_processed_image_t, MemImageDeleter>;

bool usable(const Picture& picture) {
  if (picture.isJpeg) return picture.data.size() > 2;
  const size_t expected =
      static_cast<size_t>(picture.width) * picture.height * picture.bands * (picture.bitsPerSample / 8);
  return picture.width > 0 && picture.height > 0 && (picture.bands == 1 || picture.bands == 3) &&
         (picture.bitsPerSample == 8 || picture.bitsPerSample == 16) && picture.data.size() >= expected;
}

std::optional<std::string> modelOf(Opened& opened) {
  if (!opened.ok()) return std::nullopt;
  const auto& names = opened.raw().imgdata.idata;
  std::string model = std::string(names.make) + " " + names.model;
  if (model == " ") return std::nullopt;
  return model;
}

}  // namespace

Outcome embeddedPreview(const ImageSource& source, int atLeast) try {
  EmbeddedPreview::Found embedded = EmbeddedPreview::read(source, atLeast);
  if (embedded.jpeg) {
    // A file whose previews Exiv2 reads needs no second reading by LibRaw.
    return {true, std::move(embedded.model),
            Picture{.isJpeg = true,
                    .data = std::move(*embedded.jpeg),
                    .width = embedded.width,
                    .height = embedded.height,
                    .orientation = embedded.orientation}};
  }
  Opened opened(source);
  Outcome outcome{opened.ok(), embedded.model ? embedded.model : modelOf(opened), std::nullopt};
  if (!opened.whole([&] { return opened.raw().unpack_thumb(); })) return outcome;
  int error = 0;
  MemImage image(opened.raw().dcraw_make_mem_thumb(&error));
  if (!image) return outcome;
  Picture picture = pictureOf(*image);
  picture.orientation = orientationOf(opened.raw().imgdata.sizes.flip);
  if (usable(picture)) outcome.picture = std::move(picture);
  return outcome;
} catch (...) {
  return {};
}

Outcome develop(const ImageSource& source, int atLeast) try {
  Opened opened(source);
  Outcome outcome{opened.ok(), modelOf(opened), std::nullopt};
  if (!opened.ok()) return outcome;
  libraw_output_params_t& params = opened.raw().imgdata.params;
  const auto& sizes = opened.raw().imgdata.sizes;
  params.half_size = std::max(sizes.width, sizes.height) / 2 >= atLeast;
  params.output_bps = 8;
  params.use_camera_wb = 1;
  if (!opened.whole([&] { return opened.raw().unpack(); })) return outcome;
  if (opened.raw().dcraw_process() != LIBRAW_SUCCESS) return outcome;
  int error = 0;
  MemImage image(opened.raw().dcraw_make_mem_image(&error));
  if (!image) return outcome;
  Picture picture = pictureOf(*image);  // already upright
  if (usable(picture)) outcome.picture = std::move(picture);
  return outcome;
} catch (...) {
  return {};
}

}  // namespace vantle::agent::RawDecoder
