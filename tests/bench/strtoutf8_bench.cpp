// StrToUTF8 against glibc iconv (ISO-8859-9 to UTF-8), side by side on the
// same 1 MiB of Turkish and German prose (about a tenth of the bytes are
// letters of 0xA0 or more), with the throughput ratio printed at the end.
// Both must give the same bytes: the prose has only assigned positions.
#include <benchmark/benchmark.h>
#include <iconv.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "bench/ratio_reporter.h"
#include "lib/text/text.h"

namespace {

const char* const kProse =
    "Sabah erkenden yola çıktık. Güneş henüz doğmamıştı ve sokaklar sessizdi. Köprünün üzerinden "
    "geçerken balıkçıların ağlarını topladığını gördük. İstanbul'un eski mahallelerinde dolaşmak, "
    "insana geçmişin izlerini hatırlatıyor. Öğleden sonra küçük bir kahvede oturup çay içtik; garson "
    "bize şehrin en güzel manzarasının tepedeki parktan görüldüğünü söyledi. Akşamüstü rüzgâr "
    "serinledi, gökyüzü turuncuya döndü. Yarın sabah müzeye gitmeyi, ardından çarşıda alışveriş "
    "yapmayı düşünüyoruz. Haberlerde hava durumunun değişeceği, hafta sonu yağmur yağacağı söylendi. "
    "Çocuklar okuldan döndüğünde ödevlerini yapıp bahçede oynadılar. Öğretmenleri onlara doğa hakkında "
    "ilginç şeyler anlatmış: ağaçların yaşını gövdelerindeki halkalardan öğrenmek mümkünmüş. Şehir "
    "meclisi yeni kütüphanenin açılışını önümüzdeki ay yapacağını duyurdu; binada çalışma salonları, "
    "çocuk bölümü ve küçük bir sinema olacak. Gazetenin spor sayfasında dünkü maçın özeti vardı: "
    "ev sahibi takım son dakikada attığı golle üç puanı aldı.\n"
    "Am Morgen fuhren wir mit dem Zug nach München. Die Landschaft zog langsam vorbei: Felder, Wälder "
    "und kleine Dörfer mit weißen Kirchtürmen. Im Abteil saß eine ältere Dame, die uns von ihrer Jugend "
    "am Bodensee erzählte. Nach der Ankunft gingen wir zu Fuß durch die Altstadt, aßen eine Brezel und "
    "tranken Kaffee auf dem Marktplatz. Später besuchten wir das Museum, in dem gerade eine Ausstellung "
    "über die Geschichte der Eisenbahn gezeigt wurde. Am Abend regnete es, und wir kehrten müde, aber "
    "glücklich ins Hotel zurück. Für morgen ist eine Fahrt in die Berge geplant, falls das Wetter es "
    "zulässt. Die Zeitung berichtete von einem Konzert im Stadtpark, zu dem über zweitausend Besucher "
    "kamen; die Musiker spielten bis spät in die Nacht.\n";

// Iconv of `in` from one encoding to another; aborts on failure.
std::string convertWithIconv(const std::string& in, const char* from, const char* to) {
  iconv_t cd = iconv_open(to, from);
  if (cd == (iconv_t)-1) std::abort();
  std::string out(in.size() * 4 + 16, '\0');
  char* ip = const_cast<char*>(in.data());
  char* op = out.data();
  size_t il = in.size(), ol = out.size();
  if (iconv(cd, &ip, &il, &op, &ol) == (size_t)-1) std::abort();
  iconv_close(cd);
  out.resize(out.size() - ol);
  return out;
}

const std::string& input() {
  static const std::string text = [] {
    std::string latin5 = convertWithIconv(kProse, "UTF-8", "ISO-8859-9");
    std::string big;
    while (big.size() < (1u << 20)) big += latin5;
    big.resize(1u << 20);
    while ((unsigned char)big.back() >= 0x80) big.pop_back();  // end on a whole letter
    return big;
  }();
  return text;
}

void BM_StrToUTF8(benchmark::State& state) {
  const std::string& in = input();
  std::vector<char> out(in.size() * 3 + 1);
  for (auto _ : state) {
    StrToUTF8(in.c_str(), out.data(), 9);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)in.size());
}

// What a user would write instead: one converter, reused, reset each time.
void BM_Iconv(benchmark::State& state) {
  const std::string& in = input();
  std::vector<char> out(in.size() * 3 + 1);
  iconv_t cd = iconv_open("UTF-8", "ISO-8859-9");
  for (auto _ : state) {
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    char* ip = const_cast<char*>(in.data());
    char* op = out.data();
    size_t il = in.size(), ol = out.size();
    iconv(cd, &ip, &il, &op, &ol);
    *op = 0;
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  iconv_close(cd);
  state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)in.size());
}

BENCHMARK(BM_StrToUTF8)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Iconv)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  const std::string& in = input();
  size_t high = 0;
  for (unsigned char c : in) high += c >= 0xA0;
  std::vector<char> ours(in.size() * 3 + 1);
  StrToUTF8(in.c_str(), ours.data(), 9);
  if (std::string(ours.data()) != convertWithIconv(in, "ISO-8859-9", "UTF-8")) {
    std::fprintf(stderr, "StrToUTF8 and iconv disagree on the input\n");
    return 1;
  }
  std::printf("input: %zu bytes of ISO-8859-9 prose, %.1f%% bytes of 0xA0 or more; outputs identical\n", in.size(),
              100.0 * double(high) / double(in.size()));

  benchmark::Initialize(&argc, argv);
  bench_support::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.printRatio("BM_StrToUTF8", "BM_Iconv", "throughput ratio StrToUTF8 / iconv", 2);
  benchmark::Shutdown();
  return 0;
}
