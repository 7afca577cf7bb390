#include <tellurix/lumenfold/host/value.h>

#include <QDebug>

#include <cstddef>
#include <new>
#include <ostream>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
// Free blocks kept for reuse stay out of bounds for everyone else.
#define LUMENFOLD_POISON(p, n) ASAN_POISON_MEMORY_REGION(p, n)
#define LUMENFOLD_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION(p, n)
#else
#define LUMENFOLD_POISON(p, n) ((void)(p), (void)(n))
#define LUMENFOLD_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace tellurix::lumenfold {

namespace {
std::string error_text(const QString& operation, const QString& parameter, const QString& expected,
                       const QString& given) {
    return QStringLiteral("%1(): argument '%2' must be %3, not %4")
        .arg(operation, parameter, expected, given)
        .toStdString();
}
} // namespace

TypeError::TypeError(const QString& operation, const QString& parameter, const QString& expected,
                     const QString& given)
    : std::invalid_argument(error_text(operation, parameter, expected, given))
    , operation_(operation)
    , parameter_(parameter)
    , expected_(expected)
    , given_(given) {}

PatternError::PatternError(const QString& item, const QString& message, int offset)
    : std::runtime_error(QStringLiteral("invalid pattern item '%1': %2 at offset %3")
                             .arg(item, message)
                             .arg(offset)
                             .toStdString())
    , item_(item)
    , message_(message)
    , offset_(offset) {}

NoHostError::NoHostError(const QString& operation)
    : std::logic_error(QStringLiteral("%1(): no host window attached; call "
                                      "ToolBar::set_mainwindow() first")
                           .arg(operation)
                           .toStdString()) {}

namespace host {

namespace {

// Lists and tuples come and go by the million when records stream in, and each holds
// its elements in a shared block (reference counts and the vector) of one fixed size.
// A small per-thread stack of free blocks takes most of that traffic off the general
// allocator, whose cost it mostly was. A block freed on another thread than the one
// that made it simply joins that thread's stack.
constexpr std::size_t block_bytes = 64;
constexpr std::size_t blocks_kept = 1024;

struct FreeBlock {
    FreeBlock* next;
};

struct BlockStack; // frees the blocks at thread exit

// Trivially destructible, so that it stays usable while the thread's other objects are
// destroyed: once `closed`, blocks go straight back to the allocator.
struct BlockCache {
    FreeBlock* top = nullptr;
    std::size_t size = 0;
    bool closed = false;
    BlockStack* owner = nullptr;
};
thread_local BlockCache block_cache;

struct BlockStack {
    ~BlockStack() {
        BlockCache& c = block_cache;
        while (FreeBlock* b = c.top) {
            LUMENFOLD_UNPOISON(b, block_bytes);
            c.top = b->next;
            ::operator delete(b);
        }
        c.size = 0;
        c.closed = true;
    }
};
thread_local BlockStack block_stack;

void* take_block() {
    BlockCache& c = block_cache;
    if (FreeBlock* b = c.top) {
        LUMENFOLD_UNPOISON(b, block_bytes);
        c.top = b->next;
        --c.size;
        return b;
    }
    return ::operator new(block_bytes);
}

void give_block(void* p) noexcept {
    BlockCache& c = block_cache;
    if (c.closed || c.size == blocks_kept) {
        ::operator delete(p);
        return;
    }
    if (!c.owner)
        c.owner = &block_stack; // the first use registers the clean-up at thread exit
    auto* b = static_cast<FreeBlock*>(p);
    b->next = c.top;
    c.top = b;
    ++c.size;
    LUMENFOLD_POISON(b, block_bytes);
}

// Hands std::allocate_shared the blocks above for its one combined allocation.
template <typename T> struct BlockAllocator {
    using value_type = T;
    BlockAllocator() noexcept = default;
    template <typename U> BlockAllocator(const BlockAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) {
        if constexpr (sizeof(T) <= block_bytes && alignof(T) <= alignof(std::max_align_t)) {
            if (n == 1)
                return static_cast<T*>(take_block());
        }
        return std::allocator<T>().allocate(n);
    }
    void deallocate(T* p, std::size_t n) noexcept {
        if constexpr (sizeof(T) <= block_bytes && alignof(T) <= alignof(std::max_align_t)) {
            if (n == 1)
                return give_block(p);
        }
        std::allocator<T>().deallocate(p, n);
    }
    template <typename U> bool operator==(const BlockAllocator<U>&) const noexcept { return true; }
    template <typename U> bool operator!=(const BlockAllocator<U>&) const noexcept { return false; }
};

// The shared element vector of a list or tuple. A host may nest values as deep as it
// likes (a list in a list, 100,000 times); destroying the elements one level inside the
// other would take a few stack frames per level and overflow the stack. So the outermost
// vector that dies becomes the owner of a teardown: every vector that dies while it runs
// is handed to it and emptied in turn, never more than one level below it.
struct ElementBlock {
    std::vector<Value> items;

    explicit ElementBlock(std::vector<Value>&& v) noexcept
        : items(std::move(v)) {}
    ElementBlock(const ElementBlock&) = delete;
    ElementBlock& operator=(const ElementBlock&) = delete;
    ~ElementBlock();
};

// The element vectors a teardown has still to empty. Most values nest a level or two (a
// command tuple holding a record list), so the first few wait in place, without an
// allocation per value destroyed.
class Teardown {
public:
    // Throws std::bad_alloc only when more than `near_count` wait.
    void push(std::vector<Value>&& items) {
        if (near_size_ < near_count)
            near_[near_size_++] = std::move(items);
        else
            far_.push_back(std::move(items));
    }
    // Takes one waiting vector into `out` (empty); false when none waits.
    bool pop(std::vector<Value>& out) {
        if (!far_.empty()) {
            out = std::move(far_.back());
            far_.pop_back();
            return true;
        }
        if (near_size_ == 0)
            return false;
        out = std::move(near_[--near_size_]);
        return true;
    }

private:
    static constexpr std::size_t near_count = 4;
    std::vector<Value> near_[near_count];
    std::size_t near_size_ = 0;
    std::vector<std::vector<Value>> far_;
};

// The teardown running on this thread, if any.
thread_local Teardown* running_teardown = nullptr;

ElementBlock::~ElementBlock() {
    if (items.empty())
        return;
    if (running_teardown) {
        try {
            running_teardown->push(std::move(items));
        } catch (const std::bad_alloc&) {
            // No room to queue it: it goes with this block, one level deeper, as it stands.
        }
        return;
    }
    Teardown teardown;
    running_teardown = &teardown;
    items.clear();
    std::vector<Value> next;
    while (teardown.pop(next))
        next.clear();
    running_teardown = nullptr;
}

std::shared_ptr<const std::vector<Value>> element_block(std::vector<Value>&& items) {
    auto block =
        std::allocate_shared<ElementBlock>(BlockAllocator<ElementBlock>(), std::move(items));
    const std::vector<Value>* elements = &block->items;
    // The aliasing constructor takes its owner by const reference: one count up, one down.
    return std::shared_ptr<const std::vector<Value>>(block, elements);
}

} // namespace

Value Value::list(std::vector<Value> items) {
    return Value(Kind::List, element_block(std::move(items)));
}
Value Value::tuple(std::vector<Value> items) {
    return Value(Kind::Tuple, element_block(std::move(items)));
}
Value Value::bytes(QByteArray data) {
    return Value(Kind::Bytes, std::move(data));
}
Value Value::float_array(QVector<double> data) {
    return Value(Kind::FloatArray, std::move(data));
}
Value Value::complex_array(QVector<std::complex<double>> data) {
    return Value(Kind::ComplexArray, std::move(data));
}
Value Value::str_list(const QStringList& names) {
    std::vector<Value> items;
    items.reserve(static_cast<std::size_t>(names.size()));
    for (const QString& n : names)
        items.emplace_back(n);
    return list(std::move(items));
}

QString Value::type_name(Kind kind) {
    switch (kind) {
    case Kind::None:
        return QStringLiteral("none");
    case Kind::Bool:
        return QStringLiteral("bool");
    case Kind::Int:
        return QStringLiteral("int");
    case Kind::Float:
        return QStringLiteral("float");
    case Kind::Complex:
        return QStringLiteral("complex");
    case Kind::Str:
        return QStringLiteral("str");
    case Kind::Bytes:
        return QStringLiteral("bytes");
    case Kind::List:
        return QStringLiteral("list");
    case Kind::Tuple:
        return QStringLiteral("tuple");
    case Kind::FloatArray:
        return QStringLiteral("float64 array");
    case Kind::ComplexArray:
        return QStringLiteral("complex128 array");
    }
    return QStringLiteral("unknown");
}

QString Value::type_name() const {
    return type_name(kind_);
}

void Value::type_error(const char* operation, const char* parameter, const char* expected) const {
    throw TypeError(QString::fromUtf8(operation), QString::fromUtf8(parameter),
                    QString::fromUtf8(expected), type_name());
}

namespace {
const char* op_or(const char* operation, const char* fallback) {
    return operation ? operation : fallback;
}
const char* param_or(const char* parameter) {
    return parameter ? parameter : "value";
}
} // namespace

#define LUMENFOLD_CHECK_KIND(cond, accessor, expected)                                             \
    if (!(cond))                                                                                   \
    type_error(op_or(operation, "Value::" accessor), param_or(parameter), expected)

bool Value::as_bool(const char* operation, const char* parameter) const {
    LUMENFOLD_CHECK_KIND(is_bool(), "as_bool", "bool");
    return std::get<bool>(data_);
}

std::int64_t Value::as_int(const char* operation, const char* parameter) const {
    LUMENFOLD_CHECK_KIND(is_int(), "as_int", "int");
    return std::get<std::int64_t>(data_);
}

double Value::as_float(const char* operation, const char* parameter) const {
    if (is_int())
        return static_cast<double>(std::get<std::int64_t>(data_));
    LUMENFOLD_CHECK_KIND(is_float(), "as_float", "float");
    return std::get<double>(data_);
}

std::complex<double> Value::as_complex(const char* operation, const char* parameter) const {
    if (is_number())
        return {as_float(), 0.0};
    LUMENFOLD_CHECK_KIND(is_complex(), "as_complex", "complex");
    return std::get<std::complex<double>>(data_);
}

const QString& Value::as_str(const char* operation, const char* parameter) const {
    LUMENFOLD_CHECK_KIND(is_str(), "as_str", "str");
    return std::get<QString>(data_);
}

const QByteArray& Value::as_bytes(const char* operation, const char* parameter) const {
    LUMENFOLD_CHECK_KIND(is_bytes(), "as_bytes", "bytes");
    return std::get<QByteArray>(data_);
}

const std::vector<Value>& Value::items(const char* operation, const char* parameter) const {
    LUMENFOLD_CHECK_KIND(is_list() || is_tuple(), "items", "list or tuple");
    return *std::get<Items>(data_);
}

const QVector<double>& Value::as_float_array(const char* operation, const char* parameter) const {
    LUMENFOLD_CHECK_KIND(is_float_array(), "as_float_array", "float64 array");
    return std::get<QVector<double>>(data_);
}

const QVector<std::complex<double>>& Value::as_complex_array(const char* operation,
                                                             const char* parameter) const {
    LUMENFOLD_CHECK_KIND(is_complex_array(), "as_complex_array", "complex128 array");
    return std::get<QVector<std::complex<double>>>(data_);
}

#undef LUMENFOLD_CHECK_KIND

const Value& Value::operator[](std::size_t i) const {
    const auto& v = items("Value::operator[]");
    if (i >= v.size())
        throw std::out_of_range("host::Value: index " + std::to_string(i) + " out of range for " +
                                type_name().toStdString() + " of size " + std::to_string(v.size()));
    return v[i];
}

bool operator==(const Value& a, const Value& b) {
    // Element by element in document order, with the containers still open kept on a
    // stack of our own rather than the call stack, which deep nesting would overflow.
    // The first few levels sit in place: comparing a command costs no allocation.
    struct Open {
        const Value* x;
        const Value* y;
        std::size_t left;
    };
    constexpr std::size_t near_count = 8;
    Open near[near_count];
    std::size_t near_size = 0;
    std::vector<Open> far;
    const auto top = [&]() -> Open* {
        if (!far.empty())
            return &far.back();
        return near_size ? &near[near_size - 1] : nullptr;
    };
    const auto pop = [&] { far.empty() ? void(--near_size) : far.pop_back(); };

    const Value* x = &a;
    const Value* y = &b;
    for (;;) {
        if (x->kind_ != y->kind_)
            return false;
        if (x->kind_ == Value::Kind::List || x->kind_ == Value::Kind::Tuple) {
            const auto& xs = std::get<Value::Items>(x->data_);
            const auto& ys = std::get<Value::Items>(y->data_);
            if (xs != ys) { // one shared vector is equal to itself without a look
                if (xs->size() != ys->size())
                    return false;
                if (!xs->empty()) {
                    const Open open{xs->data(), ys->data(), xs->size()};
                    if (far.empty() && near_size < near_count)
                        near[near_size++] = open;
                    else
                        far.push_back(open);
                }
            }
        } else if (!(x->data_ == y->data_)) {
            return false;
        }
        Open* next = top();
        while (next && next->left == 0) {
            pop();
            next = top();
        }
        if (!next)
            return true;
        x = next->x++;
        y = next->y++;
        --next->left;
    }
}

QDebug operator<<(QDebug debug, const Value& value) {
    QDebugStateSaver saver(debug);
    debug.noquote() << text_form(value);
    return debug;
}

std::ostream& operator<<(std::ostream& os, const Value& value) {
    return os << text_form(value).toStdString();
}

} // namespace host
} // namespace tellurix::lumenfold
