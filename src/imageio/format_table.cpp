#include "imageio/format_table.h"

#include <algorithm>

namespace {

// Stored order: plug-in by plug-in, with the three motion-JPEG rows last.
constexpr std::u16string_view kRows[kFormatRowCount] = {
    u".bmp=flt_BMP.dll", u".dib=flt_BMP.dll", u".wbm=flt_BMP.dll", u".wbmp=flt_BMP.dll",
    u".jpg=flt_JPEG.dll", u".jpeg=flt_JPEG.dll", u".jfif=flt_JPEG.dll", u".jps=flt_JPEG.dll", u".mpo=flt_JPEG.dll",
    u".png=flt_PNG.dll", u".apng=flt_PNG.dll", u".jng=flt_PNG.dll", u".mng=flt_PNG.dll",
    u".tif=flt_TIFF.dll", u".tiff=flt_TIFF.dll",
    u".gif=flt_GIF.dll",
    u".j2k=flt_JP2K.dll", u".j2c=flt_JP2K.dll", u".jp2=flt_JP2K.dll", u".jpt=flt_JP2K.dll", u".mj2=flt_JP2K.dll",
    u".webp=flt_WebP.dll",
    u".icns=flt_ICNS.dll",
    u".ico=flt_ICO.dll", u".cur=flt_ICO.dll",
    u".dds=flt_DDS.dll",
    u".emf=flt_EMF.dll", u".wmf=flt_EMF.dll", u".apm=flt_EMF.dll",
    u".tga=flt_TGA.dll", u".vda=flt_TGA.dll", u".tpic=flt_TGA.dll",
    u".pcx=flt_PCX.dll", u".dcx=flt_PCX.dll", u".fax=flt_PCX.dll", u".st=flt_PCX.dll",
    u".gtx=flt_GTX.dll", u".tg1=flt_GTX.dll", u".cals=flt_GTX.dll", u".cal=flt_GTX.dll", u".mil=flt_GTX.dll",
    u".ras=flt_GTX.dll", u".sun=flt_GTX.dll",
    u".clp=flt_CLP.dll",
    u".dpx=flt_DPX.dll",
    u".pcd=flt_PCD.dll",
    u".dcm=flt_DICOM.dll", u".acr=flt_DICOM.dll",
    u".pdn=flt_PDN.dll",
    u".psd=flt_PSD.dll", u".psb=flt_PSD.dll", u".pdd=flt_PSD.dll",
    u".psp=flt_PSP.dll",
    u".cpt=flt_CPT.dll",
    u".ora=flt_ORA.dll",
    u".kra=flt_KRA.dll",
    u".mdp=flt_MDP.dll",
    u".pxz=flt_PXZ.dll",
    u".awd=flt_AWD.dll",
    u".xcf=flt_XCF.dll", u".xcfgz=flt_XCF.dll", u".xcfbz2=flt_XCF.dll",
    u".af=flt_AFPhoto.dll", u".afphoto=flt_AFPhoto.dll", u".afdesign=flt_AFPhoto.dll", u".afpub=flt_AFPhoto.dll",
    u".fit=flt_FITS.dll", u".fts=flt_FITS.dll", u".fits=flt_FITS.dll",
    u".avi=flt_AVI.dll", u".divx=flt_AVI.dll",
    u".mov=flt_Video.dll", u".mp4=flt_Video.dll", u".vob=flt_Video.dll",
    u".svg=flt_SVG.dll", u".svgz=flt_SVG.dll",
    u".jxl=flt_JPXL.dll",
    u".jls=flt_JPLS.dll",
    u".exr=flt_EXR.dll",
    u".qoi=flt_QOI.dll",
    u".pict=flt_PICT.dll", u".pct=flt_PICT.dll", u".pic=flt_PICT.dll",
    u".wdp=flt_WIC.dll", u".wmp=flt_WIC.dll", u".hdp=flt_WIC.dll", u".jxr=flt_WIC.dll",
    u".heif=flt_HEIF.dll", u".heic=flt_HEIF.dll", u".heifs=flt_HEIF.dll", u".heics=flt_HEIF.dll",
    u".hif=flt_HEIF.dll", u".avcs=flt_HEIF.dll", u".avci=flt_HEIF.dll", u".avc=flt_HEIF.dll",
    u".avif=flt_HEIF.dll", u".avifs=flt_HEIF.dll",
    u".pdf=flt_PDF.dll",
    u".dng=flt_RAW.dll", u".cr2=flt_RAW.dll", u".cr3=flt_RAW.dll", u".raf=flt_RAW.dll", u".nef=flt_RAW.dll",
    u".nrw=flt_RAW.dll", u".arw=flt_RAW.dll", u".raw=flt_RAW.dll", u".k25=flt_RAW.dll", u".dcr=flt_RAW.dll",
    u".fff=flt_RAW.dll", u".orf=flt_RAW.dll", u".srf=flt_RAW.dll", u".rw2=flt_RAW.dll", u".ptx=flt_RAW.dll",
    u".srw=flt_RAW.dll", u".bay=flt_RAW.dll", u".mfw=flt_RAW.dll",
    u".mjpeg=flt_JPEG.dll", u".mjpg=flt_JPEG.dll", u".mjp=flt_JPEG.dll",
};

constexpr std::u16string_view kTemporary[] = {u".tmp", u".temp", u".0", u".1", u".2"};
constexpr std::u16string_view kNeverRemembered[] = {u".bmp", u".dib", u".jpg", u".jpeg", u".png", u".apng", u".gif"};
constexpr std::u16string_view kExecutable[] = {u".exe", u".dll"};

template <size_t N>
bool inSet(const std::u16string_view (&set)[N], std::u16string_view extension) {
  return std::any_of(set, set + N, [&](std::u16string_view item) { return io_SameIgnoringCase(item, extension); });
}

}  // namespace

bool io_SameIgnoringCase(std::u16string_view a, std::u16string_view b) {
  return a.size() == b.size() && io_CompareIgnoringCase(a, b) == 0;
}

int io_CompareIgnoringCase(std::u16string_view a, std::u16string_view b) {
  size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    char16_t x = io_FoldCase(a[i]), y = io_FoldCase(b[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

std::u16string_view io_FormatRow(size_t index) { return index < kFormatRowCount ? kRows[index] : std::u16string_view(); }

std::u16string_view io_FormatRowExtension(std::u16string_view row) { return row.substr(0, row.find(u'=')); }

std::u16string_view io_FormatRowPlugin(std::u16string_view row) {
  size_t cut = row.find(u'=');
  return cut == std::u16string_view::npos ? std::u16string_view() : row.substr(cut + 1);
}

std::u16string_view io_TablePluginFor(std::u16string_view extension) {
  for (std::u16string_view row : kRows)
    if (io_SameIgnoringCase(io_FormatRowExtension(row), extension)) return io_FormatRowPlugin(row);
  return {};
}

bool io_IsTemporaryExtension(std::u16string_view extension) { return inSet(kTemporary, extension); }
bool io_IsNeverRemembered(std::u16string_view extension) { return inSet(kNeverRemembered, extension); }
bool io_IsExecutableExtension(std::u16string_view extension) { return inSet(kExecutable, extension); }
