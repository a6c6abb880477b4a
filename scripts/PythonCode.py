"""The functions that script-menu calls, each in an interpreter started for that one call."""


def MultiplicationTable(value):
    """Prints value times 1 to 10, one line each, the columns aligned for any sign and width."""
    products = [(factor, value * factor) for factor in range(1, 11)]
    product_width = max(len(str(product)) for _, product in products)
    for factor, product in products:
        print(f"{value} X {factor:>2} = {product:>{product_width}}")


def DoubleValue(value):
    """Returns twice value."""
    return value * 2
