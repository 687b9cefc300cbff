// Lists of types, for what the schema derives from its tables (the records,
// the lists they hold, what a frame of the reader builds) instead of listing
// it by hand.
#pragma once

#include <cstddef>
#include <type_traits>
#include <utility>
#include <variant>

namespace spansift {

template <class... Ts>
struct TypeList {};

namespace type_list_detail {

template <class... Lists>
struct Concat {
  using type = TypeList<>;
};
template <class... Ts>
struct Concat<TypeList<Ts...>> {
  using type = TypeList<Ts...>;
};
template <class... Ts, class... Us, class... Rest>
struct Concat<TypeList<Ts...>, TypeList<Us...>, Rest...> {
  using type = typename Concat<TypeList<Ts..., Us...>, Rest...>::type;
};

template <class Kept, class... Rest>
struct Unique {
  using type = Kept;
};
template <class... Kept, class T, class... Rest>
struct Unique<TypeList<Kept...>, T, Rest...> {
  using type =
      typename Unique<std::conditional_t<(std::is_same_v<T, Kept> || ...), TypeList<Kept...>, TypeList<Kept..., T>>,
                      Rest...>::type;
};

template <template <class> class F, class List>
struct Map;
template <template <class> class F, class... Ts>
struct Map<F, TypeList<Ts...>> {
  using type = TypeList<F<Ts>...>;
};

template <template <class...> class To, class List>
struct Apply;
template <template <class...> class To, class... Ts>
struct Apply<To, TypeList<Ts...>> {
  using type = To<Ts...>;
};

template <class List>
struct UniqueOf;
template <class... Ts>
struct UniqueOf<TypeList<Ts...>> {
  using type = typename Unique<TypeList<>, Ts...>::type;
};

}  // namespace type_list_detail

// The lists one after another.
template <class... Lists>
using Concat = typename type_list_detail::Concat<Lists...>::type;
// The list with each type once, where it first comes.
template <class List>
using Unique = typename type_list_detail::UniqueOf<List>::type;
// F<T> for each T of the list.
template <template <class> class F, class List>
using Map = typename type_list_detail::Map<F, List>::type;
// To<T...> of the list's types: a tuple, a variant.
template <template <class...> class To, class List>
using Apply = typename type_list_detail::Apply<To, List>::type;

// Calls `use` with the alternative that `v` holds. A chain of compares that
// is inlined (a jump table once compiled), where std::visit calls through a
// table of functions beyond eleven alternatives; `use` must take every one.
// The lambdas of the reader's loops are marked always_inline: one left
// apart would take the address of the loop's Cursor out of registers.
template <class Use, class... Ts>
[[gnu::always_inline]] inline void visit_alternative(std::variant<Ts...>& v, Use&& use) {
  const std::size_t index = v.index();
  [&]<std::size_t... I>(std::index_sequence<I...>) __attribute__((always_inline)) {
    (void)((index == I && (use(*std::get_if<I>(&v)), true)) || ...);
  }
  (std::index_sequence_for<Ts...>{});
}

}  // namespace spansift
