namespace turnpike {}
