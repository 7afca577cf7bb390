// lumenfold-send: sends command items to a Lumenfold queue from a shell.
//
//   lumenfold-send 'PN ["t","volts"]' 'PD [0.5, 1.25]' ROLL
//   printf 'PXY "t,volts"\n' | lumenfold-send --endpoint tcp://127.0.0.1:5555
//
// Each command is a word and an optional value in JSON notation; a number with a "."
// or an exponent is a float, any other number an int, an array a list, null none.
// A value in parentheses at the outermost level, (a, b), is a tuple.
#include "send_replay.h"

#include <tellurix/lumenfold/transport.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonValue>
#include <QStringList>
#include <QTextStream>

#include <cmath>
#include <cstdio>
#include <iostream>
#include <string>

namespace {

using tellurix::lumenfold::host::Value;
namespace transport = tellurix::lumenfold::transport;

struct ParseError {
    QString reason;
};

// The number texts of a JSON document in document order, so that each number can be
// read back as int or float by how it was written (QJsonValue keeps only a double).
QStringList number_lexemes(const QString& text) {
    QStringList out;
    for (int i = 0; i < text.size();) {
        const QChar c = text[i];
        if (c == QLatin1Char('"')) {
            for (++i; i < text.size() && text[i] != QLatin1Char('"'); ++i)
                if (text[i] == QLatin1Char('\\'))
                    ++i;
            ++i;
        } else if (c == QLatin1Char('-') || c.isDigit()) {
            const int start = i;
            while (i < text.size() &&
                   (text[i].isDigit() || QStringLiteral("+-.eE").contains(text[i])))
                ++i;
            out << text.mid(start, i - start);
        } else {
            ++i;
        }
    }
    return out;
}

Value convert(const QJsonValue& v, const QStringList& numbers, int& next) {
    switch (v.type()) {
    case QJsonValue::Null:
        return Value();
    case QJsonValue::Bool:
        return Value(v.toBool());
    case QJsonValue::Double: {
        const QString lexeme = next < numbers.size() ? numbers[next] : QString();
        ++next;
        if (lexeme.contains(QLatin1Char('.')) || lexeme.contains(QLatin1Char('e')) ||
            lexeme.contains(QLatin1Char('E')))
            return Value(v.toDouble());
        bool ok = false;
        const qlonglong i = lexeme.toLongLong(&ok);
        if (!ok)
            throw ParseError{QStringLiteral("integer %1 does not fit in 64 bits").arg(lexeme)};
        return Value(i);
    }
    case QJsonValue::String:
        return Value(v.toString());
    case QJsonValue::Array: {
        std::vector<Value> items;
        // A const array: its elements are read as values, not as references that detach.
        const QJsonArray array = v.toArray();
        for (const QJsonValue& e : array)
            items.push_back(convert(e, numbers, next));
        return Value::list(std::move(items));
    }
    case QJsonValue::Object:
        throw ParseError{QStringLiteral("objects (maps) cannot be sent")};
    case QJsonValue::Undefined:
        break;
    }
    throw ParseError{QStringLiteral("unreadable value")};
}

Value parse_value(const QString& text) {
    QString body = text.trimmed();
    if (body.isEmpty())
        return Value();
    bool tuple = false;
    if (body.startsWith(QLatin1Char('(')) && body.endsWith(QLatin1Char(')'))) {
        tuple = true;
        body = body.mid(1, body.size() - 2);
    }
    // Qt's reader wants an array or an object at the top, so the value is wrapped.
    const QString wrapped = QLatin1Char('[') + body + QLatin1Char(']');
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(wrapped.toUtf8(), &error);
    if (error.error != QJsonParseError::NoError)
        throw ParseError{QStringLiteral("%1 in %2").arg(error.errorString(), text.trimmed())};
    const QJsonArray array = doc.array();
    const QStringList numbers = number_lexemes(wrapped);
    int next = 0;
    std::vector<Value> items;
    for (const QJsonValue& e : array)
        items.push_back(convert(e, numbers, next));
    if (tuple)
        return Value::tuple(std::move(items));
    if (items.size() != 1)
        throw ParseError{QStringLiteral("expected one value in %1").arg(text.trimmed())};
    return items.front();
}

// "WORD value": the item (WORD, value); a word alone carries none.
Value parse_command(const QString& line) {
    const QString text = line.trimmed();
    const int space = text.indexOf(QRegularExpression(QStringLiteral("\\s")));
    const QString word = space < 0 ? text : text.left(space);
    const QString rest = space < 0 ? QString() : text.mid(space + 1);
    return Value::tuple({word, parse_value(rest)});
}

void usage(std::FILE* out) {
    std::fputs(
        "usage: lumenfold-send [--endpoint ENDPOINT] [--server-key KEY --key FILE]\n"
        "                      [--raw VALUE]... [COMMAND]...\n"
        "       lumenfold-send [--endpoint ENDPOINT] [--server-key KEY --key FILE]\n"
        "                      --replay FILE [--speed X]\n"
        "       lumenfold-send --keygen FILE\n"
        "\n"
        "Sends command items to a Lumenfold queue. A COMMAND is a word and an optional\n"
        "value, e.g. 'PN [\"t\",\"volts\"]', 'PD [0.5, 1.25]', 'PXY \"t,volts\"', ROLL.\n"
        "Values are JSON: numbers with a '.' or an exponent are floats, other numbers\n"
        "ints, arrays lists, null none; (a, b) at the outermost level is a tuple.\n"
        "Without COMMAND or --raw arguments, commands are read from standard input, one\n"
        "per line (blank lines and lines starting with '#' are skipped).\n"
        "\n"
        "  --endpoint ENDPOINT  where to send (default: the consumer's default endpoint;\n"
        "                       a bare port means tcp on 127.0.0.1)\n"
        "  --raw VALUE          send VALUE itself as an item, whatever its shape\n"
        "  --replay FILE        send the items of a recording (lumenfold-scope --record)\n"
        "  --speed X            with --replay: at X times the recorded pace (default:\n"
        "                       as fast as the consumer takes them)\n"
        "  --server-key KEY     encrypt, to a secured consumer whose public key (Z85) is KEY\n"
        "  --key FILE           this producer's secret key file (mode 0600; made on first\n"
        "                       use, public half in FILE.pub for the consumer's list)\n"
        "  --keygen FILE        write a new key pair to FILE (0600) and FILE.pub, print\n"
        "                       the public key, and exit\n"
        "  --help               show this text\n"
        "\n"
        "Exit status: 0 when every item was handed over, 1 on a bad command or when\n"
        "items could not be delivered, 2 on a usage error.\n",
        out);
}

} // namespace

int main(int argc, char** argv) {
    QString endpoint, replay;
    double speed = 0;
    transport::Producer::Options options;
    std::vector<std::pair<bool, QString>> inputs; // (raw, text)
    for (int i = 1; i < argc; ++i) {
        const QString arg = QString::fromLocal8Bit(argv[i]);
        if (arg == QLatin1String("--help") || arg == QLatin1String("-h")) {
            usage(stdout);
            return 0;
        }
        if (arg == QLatin1String("--endpoint") || arg == QLatin1String("--raw") ||
            arg == QLatin1String("--server-key") || arg == QLatin1String("--key") ||
            arg == QLatin1String("--keygen") || arg == QLatin1String("--replay") ||
            arg == QLatin1String("--speed")) {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "lumenfold-send: %s needs a value\n", argv[i]);
                usage(stderr);
                return 2;
            }
            const QString value = QString::fromLocal8Bit(argv[++i]);
            bool number = true;
            if (arg == QLatin1String("--endpoint")) {
                endpoint = value;
            } else if (arg == QLatin1String("--replay")) {
                replay = value;
            } else if (arg == QLatin1String("--speed")) {
                speed = value.toDouble(&number);
            } else if (arg == QLatin1String("--server-key")) {
                options.server_key = value;
            } else if (arg == QLatin1String("--key")) {
                options.key_file = value;
            } else if (arg == QLatin1String("--keygen")) {
                try {
                    const QString pub = transport::write_key_pair(value);
                    std::cout << pub.toStdString() << '\n';
                    return 0;
                } catch (const std::exception& e) {
                    std::cerr << "lumenfold-send: " << e.what() << '\n';
                    return 1;
                }
            } else
                inputs.emplace_back(true, value);
            if (arg == QLatin1String("--speed") &&
                (!number || !std::isfinite(speed) || speed <= 0)) {
                std::fprintf(stderr, "lumenfold-send: --speed needs a positive number\n");
                return 2;
            }
        } else if (arg.startsWith(QLatin1String("--"))) {
            std::fprintf(stderr, "lumenfold-send: unknown option %s\n", argv[i]);
            usage(stderr);
            return 2;
        } else {
            inputs.emplace_back(false, arg);
        }
    }
    if (replay.isEmpty() && speed > 0) {
        std::fprintf(stderr, "lumenfold-send: --speed goes with --replay FILE\n");
        return 2;
    }
    if (!replay.isEmpty() && !inputs.empty()) {
        std::fprintf(stderr, "lumenfold-send: --replay sends a recording, not commands\n");
        return 2;
    }
    const bool from_stdin = inputs.empty() && replay.isEmpty();

    try {
        transport::Producer producer(endpoint, options);
        auto send = [&](bool raw, const QString& text, const QString& where) {
            try {
                producer.send_item(raw ? parse_value(text) : parse_command(text));
                return true;
            } catch (const ParseError& e) {
                std::cerr << "lumenfold-send: " << where.toStdString() << ": "
                          << e.reason.toStdString() << '\n';
                return false;
            } catch (const std::invalid_argument& e) {
                // A value the wire cannot carry as it is (a lone surrogate, a string too
                // long): this command is not sent, the others still are.
                std::cerr << "lumenfold-send: " << where.toStdString() << ": " << e.what() << '\n';
                return false;
            }
        };
        bool ok = true;
        if (!replay.isEmpty()) {
            ok = send_recording(producer, replay, speed);
        } else if (from_stdin) {
            QTextStream in(stdin);
            int number = 0;
            QString line;
            while (in.readLineInto(&line)) {
                ++number;
                const QString text = line.trimmed();
                if (text.isEmpty() || text.startsWith(QLatin1Char('#')))
                    continue;
                ok = send(false, text, QStringLiteral("line %1").arg(number)) && ok;
            }
        } else {
            for (const auto& [raw, text] : inputs)
                ok = send(raw, text, QStringLiteral("argument '%1'").arg(text)) && ok;
        }
        if (!producer.close()) {
            std::cerr << "lumenfold-send: not every item could be delivered to "
                      << transport::normalize_endpoint(endpoint).toStdString() << '\n';
            return 1;
        }
        return ok ? 0 : 1;
    } catch (const std::exception& e) {
        std::cerr << "lumenfold-send: " << e.what() << '\n';
        return 1;
    }
}
