#include <tellurix/lumenfold/scope/formats.h>

#include <algorithm>

namespace tellurix::lumenfold::scope {

std::optional<Format> parse_format(const QString& word) {
    if (word == QLatin1String("real"))
        return Format::Real;
    if (word == QLatin1String("imag"))
        return Format::Imag;
    if (word == QLatin1String("mag"))
        return Format::Mag;
    if (word == QLatin1String("phase"))
        return Format::Phase;
    return std::nullopt;
}

QString format_word(Format format) {
    switch (format) {
    case Format::Real:
        return QStringLiteral("real");
    case Format::Imag:
        return QStringLiteral("imag");
    case Format::Mag:
        return QStringLiteral("mag");
    case Format::Phase:
        return QStringLiteral("phase");
    }
    return {};
}

void apply_format(Format format, const double* re, const double* im, int n, double* out) {
    if (im == nullptr) {
        // Real columns are the common case; keep their loops free of the imaginary part.
        switch (format) {
        case Format::Real:
            std::copy(re, re + n, out);
            return;
        case Format::Imag:
            std::fill(out, out + n, 0.0);
            return;
        case Format::Mag:
            for (int i = 0; i < n; ++i)
                out[i] = std::fabs(re[i]);
            return;
        case Format::Phase:
            for (int i = 0; i < n; ++i)
                out[i] = std::atan2(0.0, re[i]);
            return;
        }
    }
    for (int i = 0; i < n; ++i)
        out[i] = apply_format(format, re[i], im[i]);
}

QVector<double> formatted(Format format, const Generation& generation, int column) {
    QVector<double> out(generation.rows());
    apply_format(format, generation.real(column), generation.imag(column), generation.rows(),
                 out.data());
    return out;
}

} // namespace tellurix::lumenfold::scope
